// Switches: words after the .nms path that begin with a slash, optionally
// followed by '=' and a value. Each command names the switches it accepts.
#pragma once

namespace switches {

// A null-terminated list of switch names, each with its leading slash.
using SwitchList = const char* const*;

extern const char* const kCompareSwitches[];
extern const char* const kExtractSwitches[];

// Looks up switch `name` among the arguments from the argument cursor on,
// after checking every slash-argument there against `vzszSwitchList` (an
// unknown switch ends the run). Returns null when the switch is absent, else
// the text after its first '=' (an empty text when it has none).
const char* FindSwitch(const char* name, SwitchList vzszSwitchList);

}  // namespace switches

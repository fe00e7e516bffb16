// The entry point: banner, short program name, command table, usage screen
// and dispatch, plus the argument cursor that the commands read from.
#pragma once

#include <string>

namespace app {

// The next command-line argument not yet consumed. The list ends with null.
extern char** ArgCursor;

// Runs one command from start to end; ends the process, never returns.
[[noreturn]] int RunQuarrow(int argc, char** argv);

// The program's short name from its path as started: after the last
// directory separator, after the last colon, up to the first full stop.
std::string DeriveProgName(const char* programPath);

// Takes the argument at the cursor as the .nms path and moves past it; with
// none left, reports that it is missing and ends the process.
const char* TakeNmsPath();

}  // namespace app

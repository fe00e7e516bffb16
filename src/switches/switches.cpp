#include "switches/switches.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "app/entry.h"
#include "app/report.h"
#include "platform/terminal.h"

namespace switches {

const char* const kCompareSwitches[] = {"/Quiet", "/SrcBaseDir", nullptr};
const char* const kExtractSwitches[] = {"/Prompt", "/OutDir", "/Different", "/SrcBaseDir", nullptr};

namespace {

const char kEmptyValue[] = "";

char LowerAscii(char letter) {
  return letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
}

bool SameSwitchName(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i)
    if (LowerAscii(left[i]) != LowerAscii(right[i])) return false;
  return true;
}

bool IsListed(std::string_view name, SwitchList list) {
  for (; *list != nullptr; ++list)
    if (SameSwitchName(name, *list)) return true;
  return false;
}

// The switch name part of an argument: everything before its first '='.
std::string_view NamePart(std::string_view argument) {
  return argument.substr(0, argument.find('='));
}

void RejectUnknownSwitches(SwitchList list) {
  for (char** argument = app::ArgCursor; *argument != nullptr; ++argument) {
    if ((*argument)[0] != '/') continue;
    const std::string_view name = NamePart(*argument);
    if (!IsListed(name, list)) {
      app::Print(platform::Stream::Error, "Unknown switch '%s'\n",
                 app::Shown(platform::Stream::Error, name).c_str());
      app::EndProcess(1);
    }
  }
}

}  // namespace

const char* FindSwitch(const char* name, SwitchList vzszSwitchList) {
  if (!IsListed(name, vzszSwitchList)) {
    app::Print(platform::Stream::Error,
               "Program error: switch '%s' not valid with this vzszSwitchList\n", name);
    app::EndProcess(1);
  }
  RejectUnknownSwitches(vzszSwitchList);
  for (char** argument = app::ArgCursor; *argument != nullptr; ++argument) {
    const std::string_view text = *argument;
    if (!SameSwitchName(NamePart(text), name)) continue;
    const auto equals = text.find('=');
    return equals == std::string_view::npos ? kEmptyValue : *argument + equals + 1;
  }
  return nullptr;
}

}  // namespace switches

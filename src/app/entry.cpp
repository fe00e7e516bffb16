#include "app/entry.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "app/report.h"
#include "commands/commands.h"
#include "platform/files.h"
#include "platform/name_characters.h"
#include "platform/terminal.h"

namespace app {

char** ArgCursor = nullptr;

namespace {

constexpr const char* kBanner =
    "Quarrow v0.9 - source texts of .nms symbol files, by the Quarrow developers\n";

struct CommandEntry {
  const char* name;
  const char* description;
  const char* usageLine;  // null: the program name and the command name
  const char* whereText;  // empty when the command takes no switches
  void (*handler)();
};

const CommandEntry kCommands[] = {
    {"List", "Show list of files for which this .nms file contains source",
     "Quarrow LIST nmsfilename ", "", commands::ListCommand},
    {"Extract", "Extract all contained source to separate new files",
     "Quarrow EXTRACT nmsfilename [/OUTDIR=dirname]\n"
     "\t\t\t[/PROMPT] [/DIFFERENT] [/SRCBASEDIR=x:\\foo\\bar\\]",
     "\t\twhere\n"
     "\t\t\t/OutDir=where output files created (default current)\n"
     "\t\t\t/Prompt generates a y/n prompt before each extract\n"
     "\t\t\t/Different extracts only those files whose current\n"
     "\t\t\t\tsource differs from .nms contents\n"
     "\t\t\t/SrcBaseDir=base path for ..\\ filenames",
     commands::ExtractCommand},
    {"Compare", "Compare source in .nms file versus original source files",
     "Quarrow COMPARE nmsfilename [/QUIET]\n\t\t\t[/SRCBASEDIR=x:\\foo\\bar\\] ",
     "\t\twhere\n"
     "\t\t\t/Quiet omits mention of files that compare Same\n"
     "\t\t\t/SrcBaseDir=base path for ..\\ filenames",
     commands::CompareCommand},
};

std::string gProgName;

std::string UpperCaseAscii(std::string_view word) {
  std::string upper(word);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char letter) {
    return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
  });
  return upper;
}

[[noreturn]] void ShowUsage() {
  const std::string progName = Shown(platform::Stream::Output, gProgName);
  Print(platform::Stream::Output, "Usage: %s cmd [args...]", progName.c_str());
  Print(platform::Stream::Output, "  where cmd is one of:\n");
  for (const CommandEntry& command : kCommands) {
    std::string usage = command.usageLine != nullptr ? std::string(command.usageLine)
                                                     : progName + " " + command.name;
    Print(platform::Stream::Output, "%-10s -- %s\n              Usage: %s\n%s", command.name,
          command.description, usage.c_str(), command.whereText);
    if (command.whereText[0] != '\0') Print(platform::Stream::Output, "\n");
  }
  EndProcess(1);
}

}  // namespace

std::string DeriveProgName(const char* programPath) {
  if (programPath == nullptr) return std::string();
  std::string_view name = programPath;
  // Taken apart by characters, as the system reads names.
  const auto lastSeparator = platform::names::FindLastOf(name, platform::kProgramPathSeparators);
  if (lastSeparator != std::string_view::npos) name.remove_prefix(lastSeparator + 1);
  const auto lastColon = platform::names::FindLastOf(name, ":");
  if (lastColon != std::string_view::npos) name.remove_prefix(lastColon + 1);
  return std::string(name.substr(0, platform::names::FindFirstOf(name, ".")));
}

const char* TakeNmsPath() {
  if (*ArgCursor == nullptr) FailWith("ERROR -- must supply name of .nms file");
  return *ArgCursor++;
}

int RunQuarrow(int argc, char** argv) {
  // Nothing can be said safely when a closed standard stream's number
  // cannot be taken: any word might land in a file of the run.
  if (!platform::KeepStandardStreamsApart()) EndProcess(1);
  // The error stream is written at once, so that it keeps its place among the
  // lines of standard output (flushed before each error-stream write).
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  Print(platform::Stream::Error, "%s", kBanner);
  gProgName = DeriveProgName(argc > 0 ? argv[0] : nullptr);
  if (argc < 2) ShowUsage();

  const std::string commandWord = UpperCaseAscii(argv[1]);
  ArgCursor = argv + 2;
  for (const CommandEntry& command : kCommands) {
    if (UpperCaseAscii(command.name) == commandWord) {
      command.handler();
      EndProcess(0);
    }
  }
  Print(platform::Stream::Output, " ERROR -- unknown command '%s'\n",
        Shown(platform::Stream::Output, commandWord).c_str());
  EndProcess(1);
}

}  // namespace app

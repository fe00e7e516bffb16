// The extract report: held texts written out as new files, flat into one
// output directory, never over an existing file.
#include <cstdio>
#include <string>
#include <string_view>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
#include "nmsfile/nmsfile.h"
#include "platform/endings.h"
#include "platform/files.h"
#include "platform/new_files.h"
#include "platform/terminal.h"
#include "switches/switches.h"

namespace commands {

namespace {

bool gPrompt = false;
bool gDifferentOnly = false;
const char* gOutDir = ".\\";

// The last component of a stored path. Both slashes count, as they do for
// Windows, so that no stored name can lead outside the output directory.
std::string_view FileNameOf(std::string_view path) {
  const auto lastSeparator = path.find_last_of("\\/");
  return lastSeparator == std::string_view::npos ? path : path.substr(lastSeparator + 1);
}

// Asks on the error stream and waits for Y or N; other keys are ignored.
// Only a key that shows as itself is echoed: no control key, no escape
// sequence, no character that hides or reorders text.
// Ctrl+C is one of the ignored keys, also where the console sends it as an
// event, until the answer.
bool UserWantsExtract(const char* path, std::uint32_t size) {
  platform::endings::LeaveInterruptKeyToPrompt(true);
  app::Print(platform::Stream::Error, "%6u %s -- Extract?  (Y/N)\n)", size,
             app::Shown(platform::Stream::Error, path).c_str());
  for (;;) {
    const auto key = platform::ReadKey();
    if (!key) app::FailWith("ERROR -- input ended before a Y/N answer\n");
    if (!key->empty() && app::Shown(platform::Stream::Keys, *key) == *key) platform::EchoKey(*key);
    if (*key == "Y" || *key == "y" || *key == "N" || *key == "n") {
      platform::endings::LeaveInterruptKeyToPrompt(false);
      return *key == "Y" || *key == "y";
    }
  }
}

[[noreturn]] void FailAndDiscard(const char* format, const std::string& outputPath) {
  const app::SysErrorText error;
  // A truncated source that looks complete is worse than none.
  platform::DiscardNew();
  app::FailWithSystemError(format, error, outputPath.c_str());
}

void WriteNewFile(const std::string& fileName, std::uint32_t size, const char* text) {
  const std::string outputPath = gOutDir + fileName;  // for the messages
  constexpr const char* kCreateFailed = "ERROR %d. (%s) opening file '%s' for write\n";
  constexpr const char* kWriteFailed = "ERROR %d. (%s) writing file '%s'\n";
  const platform::FileHandle file = platform::CreateNew(gOutDir, fileName);
  if (file == platform::kNoFile) {
    const app::SysErrorText error;
    app::FailWithSystemError(kCreateFailed, error, outputPath.c_str());
  }
  if (!platform::WriteAll(file, text, size)) FailAndDiscard(kWriteFailed, outputPath);
  switch (platform::FinishNew(file)) {
    case platform::Finish::Kept:
      return;
    case platform::Finish::NameRefused:  // taken since it was created: nothing is replaced
      FailAndDiscard(kCreateFailed, outputPath);
    case platform::Finish::CloseFailed:
      FailAndDiscard(kWriteFailed, outputPath);
  }
}

int ExtractVisitor(const char* path, std::uint32_t size, const char* text) {
  if (gDifferentOnly) {
    switch (CompareWithDisk(path, size, text)) {
      case Same:
        return 1;
      case NotFound:
        app::Print(platform::Stream::Output,
                   "WARNING -- file '%s' not found, so it too might be different\n",
                   app::Shown(platform::Stream::Output, path).c_str());
        return 1;
      case Different:
        break;
    }
  }
  const std::string fileName(FileNameOf(path));
  if (gPrompt && !UserWantsExtract(path, size)) return 1;
  app::Print(platform::Stream::Output, "%6u %s ", size,
             app::Shown(platform::Stream::Output, fileName).c_str());
  WriteNewFile(fileName, size, text);
  app::Print(platform::Stream::Output, "-- extracted to %s\n",
             app::Shown(platform::Stream::Output, gOutDir).c_str());
  // The record of every finished file survives whatever ends the run next.
  std::fflush(stdout);
  return 1;
}

}  // namespace

void ExtractCommand() {
  const char* nmsPath = app::TakeNmsPath();
  gPrompt = switches::FindSwitch("/Prompt", switches::kExtractSwitches) != nullptr;
  gDifferentOnly = switches::FindSwitch("/Different", switches::kExtractSwitches) != nullptr;
  const char* outDir = switches::FindSwitch("/OutDir", switches::kExtractSwitches);
  gOutDir = outDir != nullptr ? outDir : ".\\";
  nms::SrcBaseDir = switches::FindSwitch("/SrcBaseDir", switches::kExtractSwitches);
  nms::LoadNmsFile(nmsPath);
  app::Print(platform::Stream::Output, "Bytes  Filename\n");
  app::Print(platform::Stream::Output, "------ --------------------------------------\n");
  nms::ForEachSource(ExtractVisitor);
}

}  // namespace commands

// The extract report: held texts written out as new files, flat into one
// output directory, never over an existing file.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
#include "commands/work_ahead.h"
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

void PrintExtracting(std::uint32_t size, const std::string& fileName) {
  app::Print(platform::Stream::Output, "%6u %s ", size,
             app::Shown(platform::Stream::Output, fileName).c_str());
}

void PrintExtracted() {
  app::Print(platform::Stream::Output, "-- extracted to %s\n",
             app::Shown(platform::Stream::Output, gOutDir).c_str());
  // The record of every finished file survives whatever ends the run next.
  std::fflush(stdout);
}

[[noreturn]] void FailAndDiscard(const char* format, const std::string& outputPath) {
  const app::SysErrorText error;
  // A truncated source that looks complete is worse than none.
  platform::DiscardNew();
  app::FailWithSystemError(format, error, outputPath.c_str());
}

constexpr const char* kCreateFailed = "ERROR %d. (%s) opening file '%s' for write\n";
constexpr const char* kWriteFailed = "ERROR %d. (%s) writing file '%s'\n";

void WriteNewFile(const std::string& fileName, std::uint32_t size, const char* text) {
  const std::string outputPath = gOutDir + fileName;  // for the messages
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
  PrintExtracting(size, fileName);
  WriteNewFile(fileName, size, text);
  PrintExtracted();
  return 1;
}

// A failure met while naming a file written ahead, kept until the threads
// are stopped. (cppcheck misses the reads of its members through the
// optional that holds it.)
struct NamingFailure {
  const char* format;  // cppcheck-suppress unusedStructMember
  app::SysErrorText error;
  std::string outputPath;  // cppcheck-suppress unusedStructMember
};

// Names the file written ahead for the entry, as WriteNewFile would have
// made it, and prints its line. False when the entry must be made on the
// road above instead (nothing was written ahead for it), or when the run
// must end with `failure`.
bool NameWrittenAhead(const StoredEntry& entry, platform::FileHandle& written,
                      std::optional<NamingFailure>& failure) {
  const std::string fileName(FileNameOf(entry.path));
  if (written == platform::kNoFile || !platform::TakeAhead(written, gOutDir, fileName))
    return false;
  const platform::FileHandle file = written;
  written = platform::kNoFile;  // the file in progress now
  PrintExtracting(entry.size, fileName);
  const platform::Finish finish = platform::FinishNew(file);
  if (finish == platform::Finish::Kept) {
    PrintExtracted();
    return true;
  }
  failure.emplace(
      NamingFailure{finish == platform::Finish::NameRefused ? kCreateFailed : kWriteFailed,
                    app::SysErrorText(), gOutDir + fileName});
  return false;
}

// Every file extracted, none asked about. The first is made on this thread,
// which shows whether the output folder takes files without a name; if it
// does, and the run is worth threads, the texts of the entries after it are
// written out ahead into such files, while this thread alone names each,
// prints its line and flushes, in stored order. At the first entry that
// fails, or that was not written ahead (a worker met a full disk, a file
// size limit, too many open files), the threads are stopped, the files
// ahead of it vanish, and the rest is made here as above: every message is
// the one a run on one thread gives, at the same point.
void ExtractEveryFile() {
  const std::vector<StoredEntry> entries = StoredEntries();
  if (entries.empty()) return;
  ExtractVisitor(entries[0].path.c_str(), entries[0].size, entries[0].text);
  const platform::FileHandle folder = platform::FolderForAhead();
  const unsigned workers = WorkersFor(entries.size());
  std::size_t next = 1;
  if (folder != platform::kNoFile && workers > 0) {
    std::vector<platform::FileHandle> written(entries.size(), platform::kNoFile);
    std::optional<NamingFailure> failure;
    next += WorkAheadInOrder(
        entries.size() - 1, workers,
        [&](std::size_t index) {
          const StoredEntry& entry = entries[index + 1];
          written[index + 1] = platform::WriteAhead(folder, entry.text, entry.size);
        },
        [&](std::size_t index) {
          return NameWrittenAhead(entries[index + 1], written[index + 1], failure);
        },
        [&](std::size_t index) { return entries[index + 1].size; });
    for (const platform::FileHandle file : written)
      if (file != platform::kNoFile) platform::DropAhead(file);
    if (failure) {
      // A truncated source that looks complete is worse than none.
      platform::DiscardNew();
      app::FailWithSystemError(failure->format, failure->error, failure->outputPath.c_str());
    }
  }
  for (; next < entries.size(); ++next)
    ExtractVisitor(entries[next].path.c_str(), entries[next].size, entries[next].text);
}

}  // namespace

void ExtractCommand() {
  const char* nmsPath = app::TakeNmsPath();
  gPrompt = switches::FindSwitch("/Prompt", switches::kExtractSwitches) != nullptr;
  gDifferentOnly = switches::FindSwitch("/Different", switches::kExtractSwitches) != nullptr;
  const char* outDir = switches::FindSwitch("/OutDir", switches::kExtractSwitches);
  gOutDir = outDir != nullptr ? outDir : ".\\";
  nms::SrcBaseDir = switches::FindSwitch("/SrcBaseDir", switches::kExtractSwitches);
  TakeWorkersSetting();
  nms::LoadNmsFile(nmsPath);
  app::Print(platform::Stream::Output, "Bytes  Filename\n");
  app::Print(platform::Stream::Output, "------ --------------------------------------\n");
  if (gPrompt || gDifferentOnly)
    nms::ForEachSource(ExtractVisitor);
  else
    ExtractEveryFile();
}

}  // namespace commands

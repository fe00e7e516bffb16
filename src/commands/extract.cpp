// The extract report: held texts written out as new files, flat into one
// output directory, never over an existing file.
#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
#include "commands/work_ahead.h"
#include "nmsfile/nmsfile.h"
#include "platform/endings.h"
#include "platform/files.h"
#include "platform/name_characters.h"
#include "platform/new_files.h"
#include "platform/terminal.h"
#include "switches/switches.h"

namespace commands {

namespace {

bool gPrompt = false;
bool gDifferentOnly = false;
const char* gOutDir = ".\\";

// The last component of a stored path. Both slashes count, as they do for
// Windows, so that no stored name can lead outside the output directory;
// only where they stand as characters, as the system reads the name.
std::string_view FileNameOf(std::string_view path) {
  const auto lastSeparator = platform::names::FindLastOf(path, "\\/");
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

constexpr const char* kCreateFailed = "ERROR %d. (%s) opening file '%s' for write\n";
constexpr const char* kWriteFailed = "ERROR %d. (%s) writing file '%s'\n";

const char* FailureOf(platform::Finish finish) {
  return finish == platform::Finish::NameRefused ? kCreateFailed : kWriteFailed;
}

[[noreturn]] void FailAndDiscard(platform::NewFile& file, const char* format,
                                 const std::string& outputPath) {
  const app::SysErrorText error;
  // A truncated source that looks complete is worse than none.
  file.Discard();
  app::FailWithSystemError(format, error, outputPath.c_str());
}

// Makes the file on this thread: created, written whole and kept, or the
// run ends.
void MakeHere(platform::OutputFolder& folder, const std::string& fileName, std::uint32_t size,
              const char* text) {
  const std::string outputPath = gOutDir + fileName;  // for the messages
  platform::NewFile file = folder.Make(fileName);
  if (!file) {
    const app::SysErrorText error;
    app::FailWithSystemError(kCreateFailed, error, outputPath.c_str());
  }
  if (!file.Write(text, size)) FailAndDiscard(file, kWriteFailed, outputPath);
  const platform::Finish finish = file.Keep();
  if (finish != platform::Finish::Kept) FailAndDiscard(file, FailureOf(finish), outputPath);
}

// One entry, on this thread: checked against its disk file and asked about
// where the switches say so, then made.
void ExtractHere(platform::OutputFolder& folder, const char* path, std::uint32_t size,
                 const char* text) {
  if (gDifferentOnly) {
    switch (CompareWithDisk(path, size, text)) {
      case Same:
        return;
      case NotFound:
        app::Print(platform::Stream::Output,
                   "WARNING -- file '%s' not found, so it too might be different\n",
                   app::Shown(platform::Stream::Output, path).c_str());
        return;
      case Different:
        break;
    }
  }
  const std::string fileName(FileNameOf(path));
  if (gPrompt && !UserWantsExtract(path, size)) return;
  PrintExtracting(size, fileName);
  MakeHere(folder, fileName, size, text);
  PrintExtracted();
}

// What became of an entry working ahead, before its turn.
struct Outcome {
  enum class State {
    NotWritten,    // nothing yet: the entry is to be made on the publishing thread
    WrittenAhead,  // its text is in a file written ahead, to be named and kept
    Failed,        // naming or keeping it failed: the run ends there
  };
  State Now() const {
    return failure != nullptr ? State::Failed : written ? State::WrittenAhead : State::NotWritten;
  }

  platform::NewFile written;
  const char* failure = nullptr;  // the message's format
  std::uint32_t error = 0;        // and the system's error, as captured
};

// The entry at its turn, working ahead: a file written ahead is given its
// name and kept. False where the walk stops here: the entry was not written
// ahead, or keeping it failed (the outcome then says why).
bool PublishWrittenAhead(platform::OutputFolder& folder, const nms::StoredSource& source,
                         Outcome& outcome) {
  std::string pathBuffer;
  const std::string fileName(FileNameOf(nms::BuildPath(source.path, pathBuffer)));
  if (!outcome.written || !folder.Claim(outcome.written, fileName)) return false;
  PrintExtracting(source.size, fileName);
  const platform::Finish finish = outcome.written.Keep();
  if (finish == platform::Finish::Kept) {
    PrintExtracted();
    return true;
  }
  outcome.error = platform::LastErrorCode();
  outcome.failure = FailureOf(finish);
  return false;
}

std::uint32_t TextSize(std::size_t index) {
  const std::optional<nms::StoredSource> source = nms::SourceAt(index);
  return source ? source->size : 0;
}

// The entries in stored order, their texts written out ahead on a few
// threads while this thread alone names each, prints its line and flushes.
// At the first entry that fails, the run ends with its words; at the first
// that was not written ahead (a worker met a full disk, a file size limit,
// too many open files), the threads are stopped and the files ahead of it
// vanish. Returns that entry's index (the count where every entry was made).
std::size_t ExtractWorkingAhead(platform::OutputFolder& folder, std::size_t count,
                                unsigned workers) {
  std::array<Outcome, kMostAhead> outcomes;
  const std::size_t stoppedAt = WorkAheadInOrder(
      0, count, workers,
      [&](std::size_t index) {
        const std::optional<nms::StoredSource> source = nms::SourceAt(index);
        if (!source) return;
        std::string path;
        outcomes[index % kMostAhead] = {folder.WriteAhead(
            FileNameOf(nms::BuildPath(source->path, path)), source->text, source->size)};
      },
      [&](std::size_t index) {
        const std::optional<nms::StoredSource> source = nms::SourceAt(index);
        return !source || PublishWrittenAhead(folder, *source, outcomes[index % kMostAhead]);
      },
      TextSize);
  if (stoppedAt == count) return count;
  Outcome stopped = std::move(outcomes[stoppedAt % kMostAhead]);
  outcomes = {};  // the files written ahead vanish
  if (stopped.Now() != Outcome::State::Failed) return stoppedAt;
  stopped.written.Discard();  // a truncated source that looks complete is worse than none
  std::string path;
  const std::string outputPath =
      gOutDir + std::string(FileNameOf(nms::BuildPath(nms::SourceAt(stoppedAt)->path, path)));
  app::FailWithSystemError(stopped.failure, app::SysErrorText(stopped.error), outputPath.c_str());
}

// The entries from `first` on, each made on this thread: the whole run
// where it does not work ahead, and the rest where working ahead stopped,
// so that every message is the one a run on one thread gives, at the same
// point.
void ExtractOnThisThread(platform::OutputFolder& folder, std::size_t first, std::size_t count) {
  for (std::size_t index = first; index < count; ++index) {
    const std::optional<nms::StoredSource> source = nms::SourceAt(index);
    if (!source) continue;
    std::string pathBuffer;
    ExtractHere(folder, nms::BuildPath(source->path, pathBuffer), source->size, source->text);
  }
}

// Every entry, in stored order: working ahead where the run is worth
// threads and the output folder takes files written ahead, then on this
// thread alone.
void ExtractAll(platform::OutputFolder& folder) {
  const std::size_t count = nms::SourceCount();
  // Threads writing ahead hold no buffer: the texts ahead are the cost.
  const unsigned workers =
      gPrompt || gDifferentOnly ? 0 : WorkersFor(count, {nms::LoadedSize(), 0, true});
  const std::size_t madeAhead =
      workers > 0 && folder.TakesFilesAhead() ? ExtractWorkingAhead(folder, count, workers) : 0;
  ExtractOnThisThread(folder, madeAhead, count);
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
  nms::LoadNmsFile(nmsPath, ThreadsForLoad());
  app::Print(platform::Stream::Output, "Bytes  Filename\n");
  app::Print(platform::Stream::Output, "------ --------------------------------------\n");
  platform::OutputFolder folder(gOutDir);
  ExtractAll(folder);
}

}  // namespace commands

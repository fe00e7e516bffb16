// The compare report, and the comparison of one held text with its disk file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
#include "commands/work_ahead.h"
#include "nmsfile/nmsfile.h"
#include "platform/files.h"
#include "platform/terminal.h"
#include "switches/switches.h"

namespace commands {

namespace {

bool gQuiet = false;

const char* StatusWord(CompareResult result) {
  switch (result) {
    case Same:
      return "same";
    case Different:
      return "DIFFERENT";
    case NotFound:
      break;
  }
  return "FILE/PATH_NOT_FOUND!";
}

void Report(CompareResult result, const char* path) {
  if (result != Same || !gQuiet)
    app::Print(platform::Stream::Output, "%22s %s\n", StatusWord(result),
               app::Shown(platform::Stream::Output, path).c_str());
}

int CompareVisitor(const char* path, std::uint32_t size, const char* text) {
  Report(CompareWithDisk(path, size, text), path);
  return 1;
}

constexpr const char* kNoMemory = "Couldn't get memory to load file";

// Disk files are read in pieces into one buffer kept for the whole run, one
// for each thread that compares: a fresh block for each file costs a page
// fault per page, many times the read.
constexpr std::size_t kPieceSize = std::size_t{1} << 20;

char* PieceBuffer() {
  thread_local const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kPieceSize]);
  return buffer.get();  // NOLINT(clang-analyzer-cplusplus.NewDelete): lives until the thread ends
}

// How comparing one file ended: a result, or the failure that ends the run,
// with the system's error number, as the thread that met it captured it.
struct Outcome {
  CompareResult result = Same;
  const char* failure = nullptr;  // the message's format
  std::uint32_t code = 0;
};

Outcome Failed(const char* format) { return {Same, format, platform::LastErrorCode()}; }

// Reads the whole file, which has the held size, and compares it with the text.
// A file that ends before its size (as files of /proc and /sys do, and files
// cut short while being read) does not hold the text: it differs.
Outcome ReadAndCompare(platform::FileHandle file, std::uint32_t size, const char* text) {
  char* const buffer = PieceBuffer();
  if (buffer == nullptr) return {Same, kNoMemory, 0};
  bool same = true;
  for (std::uint32_t done = 0; done < size;) {
    const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(size - done, kPieceSize));
    if (!platform::ReadExactly(file, buffer, piece)) {
      const Outcome failed = Failed("ERROR %d. (%s) reading file '%s'\n");
      if (failed.code == 0) return {Different};
      return failed;
    }
    same = same && std::memcmp(buffer, text + done, piece) == 0;
    done += piece;
  }
  return {same ? Same : Different};
}

// The comparison itself, without a word printed: safe on any thread.
Outcome CompareOne(const char* path, std::uint32_t size, const char* text) {
  const platform::FileHandle file = platform::OpenStoredFile(path);
  if (file == platform::kNoFile) {
    const Outcome failed = Failed("ERROR %d. (%s) opening file '%s'\n");
    return platform::IsNotFoundError(failed.code) ? Outcome{NotFound} : failed;
  }
  const auto diskSize = platform::FileSize(file);
  if (!diskSize) return Failed("ERROR %d. (%s) getting size of file '%s'\n");
  // Decided by size alone, without reading the file.
  const Outcome outcome = *diskSize != size ? Outcome{Different} : ReadAndCompare(file, size, text);
  if (outcome.failure == nullptr) platform::Close(file);
  return outcome;
}

// The result, or the end of the run with the failure's message.
CompareResult Settled(const Outcome& outcome, const char* path) {
  if (outcome.failure == nullptr) return outcome.result;
  if (outcome.failure == kNoMemory) app::FailWith(kNoMemory);
  app::FailWithSystemError(outcome.failure, app::SysErrorText(outcome.code), path);
}

// Compares the files of the entries ahead on a few threads; this thread
// prints each entry's line, or its failure, in stored order, as the visitor
// does.
void CompareAhead(unsigned workers) {
  const std::vector<StoredEntry> entries = StoredEntries();
  std::vector<Outcome> outcomes(entries.size());
  const std::size_t stopped = WorkAheadInOrder(
      entries.size(), workers,
      [&](std::size_t index) {
        const StoredEntry& entry = entries[index];
        outcomes[index] = CompareOne(entry.path.c_str(), entry.size, entry.text);
      },
      [&](std::size_t index) {
        if (outcomes[index].failure != nullptr) return false;
        Report(outcomes[index].result, entries[index].path.c_str());
        return true;
      });
  if (stopped < entries.size()) Settled(outcomes[stopped], entries[stopped].path.c_str());
}

}  // namespace

CompareResult CompareWithDisk(const char* path, std::uint32_t size, const char* text) {
  return Settled(CompareOne(path, size, text), path);
}

void CompareCommand() {
  const char* nmsPath = app::TakeNmsPath();
  gQuiet = switches::FindSwitch("/Quiet", switches::kCompareSwitches) != nullptr;
  nms::SrcBaseDir = switches::FindSwitch("/SrcBaseDir", switches::kCompareSwitches);
  nms::LoadNmsFile(nmsPath);
  const unsigned workers = WorkersFor(nms::SourceCount());
  if (workers > 0)
    CompareAhead(workers);
  else
    nms::ForEachSource(CompareVisitor);
}

}  // namespace commands

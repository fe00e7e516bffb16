// The compare report, and the comparison of one held text with its disk file.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
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

// Disk files are read in pieces into buffers kept for the whole run, as many
// as there are threads comparing at once: a fresh block for each file costs
// a page fault per page, many times the read. They are lent out rather than
// held by each thread, since the MinGW runtime frees a thread's storage
// before its thread_local objects are destroyed.
constexpr std::size_t kPieceSize = std::size_t{1} << 20;

std::mutex gSpareBuffersGuard;
std::vector<std::unique_ptr<char[]>> gSpareBuffers;

// A buffer lent for one file, given back when it goes out of scope; null
// where there is no memory for one.
class LentBuffer {
 public:
  LentBuffer() {
    {
      const std::lock_guard<std::mutex> lock(gSpareBuffersGuard);
      if (!gSpareBuffers.empty()) {
        buffer_ = std::move(gSpareBuffers.back());
        gSpareBuffers.pop_back();
        return;
      }
    }
    buffer_.reset(new (std::nothrow) char[kPieceSize]);
  }
  ~LentBuffer() {
    if (buffer_ == nullptr) return;
    const std::lock_guard<std::mutex> lock(gSpareBuffersGuard);
    try {
      gSpareBuffers.push_back(std::move(buffer_));
    } catch (const std::bad_alloc&) {  // kept no more: freed with the holder
    }
  }
  LentBuffer(const LentBuffer&) = delete;
  LentBuffer& operator=(const LentBuffer&) = delete;
  LentBuffer(LentBuffer&&) = delete;
  LentBuffer& operator=(LentBuffer&&) = delete;
  char* Get() const { return buffer_.get(); }

 private:
  std::unique_ptr<char[]> buffer_;
};

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
  const LentBuffer lent;
  char* const buffer = lent.Get();
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
  // Decided by size alone, without reading the file. Closed on every road,
  // after the failure's error is captured: a failure met ahead is met again
  // on one thread, which must find every descriptor free.
  const Outcome outcome = !diskSize           ? Failed("ERROR %d. (%s) getting size of file '%s'\n")
                          : *diskSize != size ? Outcome{Different}
                                              : ReadAndCompare(file, size, text);
  platform::Close(file);
  return outcome;
}

// The result, or the end of the run with the failure's message.
CompareResult Settled(const Outcome& outcome, const char* path) {
  if (outcome.failure == nullptr) return outcome.result;
  if (outcome.failure == kNoMemory) app::FailWith(kNoMemory);
  app::FailWithSystemError(outcome.failure, app::SysErrorText(outcome.code), path);
}

// Compares the files of the entries ahead on a few threads; this thread
// prints each entry's line in stored order, as the visitor does. A failure
// met ahead may be the threads' own (too many files open at once, no memory
// for one more buffer): it stops them, and that entry and those after it are
// compared here, where only a failure that one thread meets ends the run.
void CompareAhead(unsigned workers) {
  std::array<Outcome, kMostAhead> outcomes;
  const std::size_t stopped = WorkAheadInOrder(
      0, nms::SourceCount(), workers,
      [&](std::size_t index) {
        const std::optional<nms::StoredSource> source = nms::SourceAt(index);
        if (!source) return;
        std::string path;
        outcomes[index % kMostAhead] =
            CompareOne(nms::BuildPath(source->path, path), source->size, source->text);
      },
      [&](std::size_t index) {
        const std::optional<nms::StoredSource> source = nms::SourceAt(index);
        if (!source) return true;
        const Outcome& outcome = outcomes[index % kMostAhead];
        if (outcome.failure != nullptr) return false;
        std::string path;
        Report(outcome.result, nms::BuildPath(source->path, path));
        return true;
      });
  nms::ForEachSource(CompareVisitor, stopped);
}

}  // namespace

CompareResult CompareWithDisk(const char* path, std::uint32_t size, const char* text) {
  return Settled(CompareOne(path, size, text), path);
}

void CompareCommand() {
  const char* nmsPath = app::TakeNmsPath();
  gQuiet = switches::FindSwitch("/Quiet", switches::kCompareSwitches) != nullptr;
  nms::SrcBaseDir = switches::FindSwitch("/SrcBaseDir", switches::kCompareSwitches);
  TakeWorkersSetting();
  nms::LoadNmsFile(nmsPath, ThreadsForLoad());
  // Each thread comparing holds a buffer of its own.
  const unsigned workers =
      WorkersFor(nms::SourceCount(), {nms::LoadedSize() + kPieceSize, kPieceSize, false});
  if (workers > 0)
    CompareAhead(workers);
  else
    nms::ForEachSource(CompareVisitor);
}

}  // namespace commands

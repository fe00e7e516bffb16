// The compare report, and the comparison of one held text with its disk file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
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

int CompareVisitor(const char* path, std::uint32_t size, const char* text) {
  const CompareResult result = CompareWithDisk(path, size, text);
  if (result != Same || !gQuiet)
    app::Print(platform::Stream::Output, "%22s %s\n", StatusWord(result),
               app::Shown(platform::Stream::Output, path).c_str());
  return 1;
}

// Disk files are read in pieces into one buffer kept for the whole run: a
// fresh block for each file costs a page fault per page, many times the read.
constexpr std::size_t kPieceSize = std::size_t{1} << 20;

char* PieceBuffer() {
  static char* const buffer = static_cast<char*>(std::malloc(kPieceSize));
  if (buffer == nullptr) app::FailWith("Couldn't get memory to load file");
  return buffer;
}

// Reads the whole file, which has the held size, and compares it with the text.
// A file that ends before its size (as files of /proc and /sys do, and files
// cut short while being read) does not hold the text: it differs.
bool ReadAndCompare(platform::FileHandle file, const char* path, std::uint32_t size,
                    const char* text) {
  char* const buffer = PieceBuffer();
  bool same = true;
  for (std::uint32_t done = 0; done < size;) {
    const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(size - done, kPieceSize));
    if (!platform::ReadExactly(file, buffer, piece)) {
      const app::SysErrorText error;
      if (error.code == 0) return false;
      app::FailWithSystemError("ERROR %d. (%s) reading file '%s'\n", error, path);
    }
    same = same && std::memcmp(buffer, text + done, piece) == 0;
    done += piece;
  }
  return same;
}

}  // namespace

CompareResult CompareWithDisk(const char* path, std::uint32_t size, const char* text) {
  const platform::FileHandle file = platform::OpenStoredFile(path);
  if (file == platform::kNoFile) {
    const app::SysErrorText error;
    if (platform::IsNotFoundError(error.code)) return NotFound;
    app::FailWithSystemError("ERROR %d. (%s) opening file '%s'\n", error, path);
  }
  const auto diskSize = platform::FileSize(file);
  if (!diskSize) {
    const app::SysErrorText error;
    app::FailWithSystemError("ERROR %d. (%s) getting size of file '%s'\n", error, path);
  }
  // Decided by size alone, without reading the file.
  if (*diskSize != size) {
    platform::Close(file);
    return Different;
  }
  const bool same = ReadAndCompare(file, path, size, text);
  platform::Close(file);
  return same ? Same : Different;
}

void CompareCommand() {
  const char* nmsPath = app::TakeNmsPath();
  gQuiet = switches::FindSwitch("/Quiet", switches::kCompareSwitches) != nullptr;
  nms::SrcBaseDir = switches::FindSwitch("/SrcBaseDir", switches::kCompareSwitches);
  nms::LoadNmsFile(nmsPath);
  nms::ForEachSource(CompareVisitor);
}

}  // namespace commands

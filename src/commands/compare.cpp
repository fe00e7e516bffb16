// The compare report, and the comparison of one held text with its disk file.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/entry.h"
#include "app/report.h"
#include "commands/commands.h"
#include "nmsfile/nmsfile.h"
#include "platform/platform.h"
#include "switches/switches.h"

namespace commands {

namespace {

bool gQuiet = false;

int CompareVisitor(const char* path, std::uint32_t size, const char* text) {
  switch (CompareWithDisk(path, size, text)) {
    case Same:
      if (!gQuiet) std::printf("%22s %s\n", "same", path);
      break;
    case Different:
      std::printf("%22s %s\n", "DIFFERENT", path);
      break;
    case NotFound:
      std::printf("%22s %s\n", "FILE/PATH_NOT_FOUND!", path);
      break;
  }
  return 1;
}

}  // namespace

CompareResult CompareWithDisk(const char* path, std::uint32_t size, const char* text) {
  const platform::FileHandle file = platform::OpenForReading(path);
  if (file == platform::kNoFile) {
    const app::SysErrorText error;
    if (platform::IsNotFoundError(error.code)) return NotFound;
    app::FailWithSystemError("ERROR %d. (%s) opening file '%s'\n", error, path);
  }
  const auto diskSize = platform::FileSize(file);
  if (!diskSize)
    app::FailWithSystemError("ERROR %d. (%s) getting size of file '%s'\n", app::SysErrorText(),
                             path);
  // Decided by size alone, without reading the file.
  if (*diskSize != size) {
    platform::Close(file);
    return Different;
  }
  void* contents = std::malloc(size);
  if (contents == nullptr) app::FailWith("Couldn't get memory to load file");
  if (!platform::ReadExactly(file, contents, size))
    app::FailWithSystemError("ERROR %d. (%s) reading file '%s'\n", app::SysErrorText(), path);
  platform::Close(file);
  const bool same = std::memcmp(contents, text, size) == 0;
  std::free(contents);
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

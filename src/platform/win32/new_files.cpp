// New files on Windows: refused when Windows would make of the name
// something other than a plain file, and marked for deletion from their
// creation until they are whole, so that Windows itself removes them however
// the run ends first (TerminateProcess, taskkill /f, a job's kill, a crash, a
// console event); where a file system refuses the mark, a console event that
// ends the run removes them.
#include "platform/new_files.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "platform/endings.h"
#include "platform/name_characters.h"
#include "platform/win32/files.h"
#include "platform/windows_names.h"

namespace platform {

namespace {

using win32_files::CreateFileAnyLength;
using win32_files::DeleteFileAnyLength;
using win32_files::Ours;
using win32_files::Win;

// The roads of a file (NewFile::road_).
enum Road : unsigned char {
  kMarked,    // under its own name, marked for deletion until whole
  kUnmarked,  // under its own name, on a file system that refuses the mark
  kAhead,     // written ahead under a temporary name, marked
  kClaimed,   // written ahead, renamed to its own name, still marked
};

bool IsMarked(unsigned char road) { return road != kUnmarked; }

// What an ending must put right: the one file in progress on the calling
// thread that stands under its own name. A file fills it and clears it while
// endings are held, and is written to only while they are, so a console
// event finds it between two pieces of a write. Nothing else of new files is
// global.
struct ToRemoveOnEnding {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path;
  bool set = false;

  // Call while endings are held.
  void Set(HANDLE file, const std::string& named) {
    handle = file;
    path = named;
    set = true;
  }
};
ToRemoveOnEnding gToRemove;

void RemoveOnEnding() {
  if (!gToRemove.set) return;
  if (gToRemove.handle != INVALID_HANDLE_VALUE) CloseHandle(gToRemove.handle);
  DeleteFileAnyLength(gToRemove.path);
}

// The prefix of `path` that names its folder: up to the last separator or
// drive colon, read by characters, empty for the current folder.
std::string FolderPrefixOf(const std::string& path) {
  const auto end = names::FindLastOf(path, "\\/:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// Sets or clears the file's delete disposition: marked, the file is removed
// when its last handle closes, and Windows closes every handle of a process
// however it ends. Some file systems refuse it (FAT on older systems, some
// network redirectors).
bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(marked)};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// The create the program has always made (no sharing, CREATE_NEW, no
// attributes), with DELETE access for the disposition; where the folder
// grants the right to create files but not to delete them, without it.
HANDLE CreateExclusively(const std::string& path) {
  const HANDLE file = CreateFileAnyLength(path, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return file;
  return CreateFileAnyLength(path, GENERIC_WRITE, 0, CREATE_NEW);
}

// Writes go in pieces short enough that a console event, which waits for
// the one under way, is handled at once.
constexpr std::size_t kLargestWritePiece = std::size_t{1} << 20;

// Renames the open file to `path` (absolute, or relative to the current
// folder, as the ANSI calls read it), never over anything. A path the call
// cannot take (past MAX_PATH) is refused: the file is then made by Make,
// which takes any length.
bool RenameTo(HANDLE file, const std::string& path) {
  const int length = static_cast<int>(path.size());
  const int wideLength = MultiByteToWideChar(CP_ACP, 0, path.data(), length, nullptr, 0);
  if (wideLength <= 0) return false;
  const std::size_t bytes = sizeof(FILE_RENAME_INFO) + sizeof(wchar_t) * std::size_t(wideLength);
  std::vector<unsigned char> buffer(bytes, 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(sizeof(wchar_t) * std::size_t(wideLength));
  MultiByteToWideChar(CP_ACP, 0, path.data(), length, rename->FileName, wideLength);
  return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(bytes)) != 0;
}

}  // namespace

bool NewFile::Write(const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    BOOL written = FALSE;
    {
      const endings::Held held;
      written = WriteFile(Win(handle_), next,
                          static_cast<DWORD>(std::min(size, kLargestWritePiece)), &put, nullptr);
    }
    if (!written || put == 0) return false;
    next += put;
    size -= put;
  }
  return true;
}

Finish NewFile::Keep() {
  bool closed = false;
  DWORD error = 0;
  {
    const endings::Held held;
    // Whole: the mark is cleared after the last byte, before the close. A
    // mark that stays would remove the file at the close: a failed write.
    if (IsMarked(road_) && !MarkForDeletion(Win(handle_), false))
      return Finish::CloseFailed;  // the reason is the call's; Discard closes it
    road_ = kUnmarked;
    closed = CloseHandle(Win(handle_)) != 0;
    error = GetLastError();
    handle_ = kNoFile;
    gToRemove.handle = INVALID_HANDLE_VALUE;
    if (closed) {
      gToRemove.set = false;
      onDisk_.clear();
    }
  }
  SetLastError(error);
  return closed ? Finish::Kept : Finish::CloseFailed;
}

void NewFile::Discard() {
  const DWORD saved = GetLastError();
  {
    const endings::Held held;
    if (gToRemove.set && gToRemove.path == onDisk_) gToRemove.set = false;
    if (handle_ != kNoFile) CloseHandle(Win(handle_));  // marked: it vanishes
    // Written ahead, it vanished with its handle; under its own name it is
    // removed, marked or not.
    if (road_ != kAhead && !onDisk_.empty()) DeleteFileAnyLength(onDisk_);
    handle_ = kNoFile;
    onDisk_.clear();
  }
  SetLastError(saved);
}

OutputFolder::~OutputFolder() = default;

void OutputFolder::Open() {
  if (opened_) return;
  opened_ = true;
  endings::PutRightOnEnding(endings::Job::NewFile, RemoveOnEnding);
}

NewFile OutputFolder::Make(std::string_view name) {
  Open();
  NewFile file;
  if (!windows_names::IsPlainFileName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return file;
  }
  std::string path = prefix_ + std::string(name);
  HANDLE handle = INVALID_HANDLE_VALUE;
  {
    const endings::Held held;
    handle = CreateExclusively(path);
    // A second guard: whatever the name, only a file on a disk is written to.
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK) {
      gToRemove.Set(handle, path);
      file.folder_ = this;
      file.handle_ = Ours(handle);
      file.road_ = MarkForDeletion(handle, true) ? kMarked : kUnmarked;  // before the first byte
      file.name_ = path;
      file.onDisk_ = std::move(path);
      return file;
    }
  }
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    SetLastError(ERROR_INVALID_NAME);
  }
  return file;
}

// Writing ahead: each text is written into a file of the program's own
// temporary name in the output folder, marked for deletion from its
// creation, so that Windows removes it whatever ends the run, as a file
// without a name vanishes on Linux. Claim gives it its name, never over
// anything. A folder that refuses the mark takes none: the entry is then
// made by Make.
bool OutputFolder::TakesFilesAhead() {
  Open();
  return true;
}

NewFile OutputFolder::WriteAhead(std::string_view name, const void* data, std::size_t size) {
  NewFile file;
  if (!windows_names::IsPlainFileName(name)) return file;
  const std::string temporary = FolderPrefixOf(prefix_) + "quarrow-partial-" +
                                std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(++temporaries_) + ".tmp";
  const HANDLE handle = CreateFileAnyLength(temporary, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
  if (handle == INVALID_HANDLE_VALUE) return file;
  if (GetFileType(handle) != FILE_TYPE_DISK || !MarkForDeletion(handle, true)) {
    CloseHandle(handle);
    DeleteFileAnyLength(temporary);
    return file;
  }
  file.folder_ = this;
  file.handle_ = Ours(handle);
  file.road_ = kAhead;
  file.onDisk_ = temporary;
  if (!file.Write(data, size)) file.Discard();
  return file;
}

bool OutputFolder::Claim(NewFile& written, std::string_view name) {
  if (!windows_names::IsPlainFileName(name)) return false;
  std::string path = prefix_ + std::string(name);
  // Given its name while still marked: a kill from here on removes it too.
  if (FolderPrefixOf(path) != FolderPrefixOf(prefix_) || !RenameTo(Win(written.handle_), path))
    return false;
  const endings::Held held;
  gToRemove.Set(Win(written.handle_), path);
  written.road_ = kClaimed;
  written.name_ = path;
  written.onDisk_ = std::move(path);
  return true;
}

}  // namespace platform

// New files on Windows: refused when Windows would make of the name
// something other than a plain file, and marked for deletion from their
// creation until they are whole, so that Windows itself removes them however
// the run ends first (TerminateProcess, taskkill /f, a job's kill, a crash, a
// console event); where a file system refuses the mark, a console event that
// ends the run removes them.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "platform/endings.h"
#include "platform/files_win32.h"
#include "platform/new_files.h"
#include "platform/windows_names.h"

namespace platform {

namespace {

using win32_files::CreateFileAnyLength;
using win32_files::DeleteFileAnyLength;
using win32_files::Ours;
using win32_files::Win;

// The new file being written; changes, and is written to, only while
// endings are held, so a console event finds it between two pieces of a
// write.
HANDLE gHandleInProgress = INVALID_HANDLE_VALUE;
std::string gPathInProgress;
bool gFileInProgress = false;
bool gMarkedForDeletion = false;  // the file in progress carries a delete disposition

// Where files are written ahead: the folder of the last new file, when it
// took the delete mark. Set on the main thread before any thread starts.
std::string gFolderAhead;  // the folder's prefix (up to its last separator)
bool gFolderTakesMarks = false;
std::atomic<unsigned> gAheadSerial{0};

// The prefix of `path` that names its folder: up to the last separator or
// drive colon, empty for the current folder.
std::string FolderPrefixOf(const std::string& path) {
  const auto end = path.find_last_of("\\/:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

void RemoveFileInProgress() {
  if (gHandleInProgress != INVALID_HANDLE_VALUE) CloseHandle(gHandleInProgress);
  if (gFileInProgress) DeleteFileAnyLength(gPathInProgress);
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

FileHandle RefuseName() {
  SetLastError(ERROR_INVALID_NAME);
  return kNoFile;
}

// Writes go in pieces short enough that a console event, which waits for
// the one under way, is handled at once.
constexpr std::size_t kLargestWritePiece = std::size_t{1} << 20;

}  // namespace

FileHandle CreateNew(const std::string& directory, std::string_view name) {
  if (!windows_names::IsPlainFileName(name)) return RefuseName();
  endings::PutRightOnEnding(endings::Job::NewFile, RemoveFileInProgress);
  std::string path = directory + std::string(name);
  HANDLE file = INVALID_HANDLE_VALUE;
  bool onDisk = false;
  {
    const endings::Held held;
    file = CreateExclusively(path);
    // A second guard: whatever the name, only a file on a disk is written to.
    onDisk = file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK;
    if (onDisk) {
      gHandleInProgress = file;
      gPathInProgress = std::move(path);
      gFileInProgress = true;
      gMarkedForDeletion = MarkForDeletion(file, true);  // before the first byte
      gFolderTakesMarks = gMarkedForDeletion;
      gFolderAhead = FolderPrefixOf(gPathInProgress);
    }
  }
  if (file == INVALID_HANDLE_VALUE) return kNoFile;
  if (!onDisk) {
    CloseHandle(file);
    return RefuseName();
  }
  return Ours(file);
}

bool WriteAll(FileHandle file, const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    BOOL written = FALSE;
    {
      const endings::Held held;
      written = WriteFile(Win(file), next, static_cast<DWORD>(std::min(size, kLargestWritePiece)),
                          &put, nullptr);
    }
    if (!written || put == 0) return false;
    next += put;
    size -= put;
  }
  return true;
}

Finish FinishNew(FileHandle file) {
  bool closed = false;
  DWORD error = 0;
  {
    const endings::Held held;
    // Whole: the mark is cleared after the last byte, before the close. A
    // mark that stays would remove the file at the close: a failed write.
    if (gMarkedForDeletion && !MarkForDeletion(Win(file), false))
      return Finish::CloseFailed;  // the reason is the call's; DiscardNew closes it
    gMarkedForDeletion = false;
    closed = CloseHandle(Win(file)) != 0;
    error = GetLastError();
    gHandleInProgress = INVALID_HANDLE_VALUE;
    if (closed) gFileInProgress = false;
  }
  SetLastError(error);
  return closed ? Finish::Kept : Finish::CloseFailed;
}

void DiscardNew() {
  const DWORD saved = GetLastError();
  {
    const endings::Held held;
    RemoveFileInProgress();
    gHandleInProgress = INVALID_HANDLE_VALUE;
    gFileInProgress = false;
    gMarkedForDeletion = false;
  }
  SetLastError(saved);
}

// Writing ahead, where the output folder takes the delete mark (the last
// new file took it): each text is written into a file of the program's own
// temporary name in that folder, marked for deletion from its creation, so
// that Windows removes it whatever ends the run, as a file without a name
// vanishes on Linux. TakeAhead gives it its name, never over anything.
namespace {

// Renames the open file to `path` (absolute, or relative to the current
// folder, as the ANSI calls read it), never over anything. A path the call
// cannot take (past MAX_PATH) is refused: the file is then made on the road
// of one thread, which takes any length.
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

FileHandle FolderForAhead() {
  // Any handle but kNoFile says yes; the folder is the one of the last file.
  return gFolderTakesMarks ? FileHandle{0} : kNoFile;
}

FileHandle WriteAhead(FileHandle /*folder*/, const void* data, std::size_t size) {
  const std::string temporary = gFolderAhead + "quarrow-partial-" +
                                std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(++gAheadSerial) + ".tmp";
  const HANDLE file = CreateFileAnyLength(temporary, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
  if (file == INVALID_HANDLE_VALUE) return kNoFile;
  if (GetFileType(file) != FILE_TYPE_DISK || !MarkForDeletion(file, true)) {
    CloseHandle(file);
    DeleteFileAnyLength(temporary);
    return kNoFile;
  }
  if (!WriteAll(Ours(file), data, size)) {
    CloseHandle(file);  // marked: it vanishes
    return kNoFile;
  }
  return Ours(file);
}

bool TakeAhead(FileHandle file, const std::string& directory, std::string_view name) {
  if (!windows_names::IsPlainFileName(name)) return false;
  std::string path = directory + std::string(name);
  // Given its name while still marked: a kill from here on removes it too.
  if (FolderPrefixOf(path) != gFolderAhead || !RenameTo(Win(file), path)) return false;
  const endings::Held held;
  gHandleInProgress = Win(file);
  gPathInProgress = std::move(path);
  gFileInProgress = true;
  gMarkedForDeletion = true;
  return true;
}

void DropAhead(FileHandle file) { CloseHandle(Win(file)); }  // marked: it vanishes

}  // namespace platform

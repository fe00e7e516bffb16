// New files on Windows: refused when Windows would make of the name
// something other than a plain file, and never under their names before
// they are whole. The folder learns once, at its first file, whether its
// file system takes the delete mark (FileDispositionInfo):
// - where it does, every file is made under a temporary name of the
//   program's own, marked for deletion from before its first byte, and
//   given its name, never over anything, only once it is whole and
//   unmarked: Windows removes a marked file however the process ends
//   (TerminateProcess, taskkill /f, a job's kill, a crash, a console event),
//   and nothing stands under a stored name until it is whole;
// - where it does not (FAT on older systems, some network redirectors), the
//   file is made under its own name, no thread writes ahead, and Ctrl+C,
//   Ctrl+Break and closing the console remove the file in progress; a kill
//   can leave it partial.
// A file is removed through its handle (marked, then closed), or, where the
// mark is refused, by name while its handle is still open: never by name
// after its close, when the name may be another program's file.
#include "platform/new_files.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/endings.h"
#include "platform/name_characters.h"
#include "platform/win32/calls.h"
#include "platform/win32/files.h"
#include "platform/windows_names.h"

namespace platform {

namespace {

using win32_calls::Calls;
using win32_files::CreateFileAnyLength;
using win32_files::DeleteFileAnyLength;
using win32_files::Ours;
using win32_files::Win;

// The roads of a folder (OutputFolder::road_).
enum FolderRoad : unsigned char {
  kNotLearned,   // no file made yet
  kTemporaries,  // it takes the mark: files are made under marked temporaries
  kOwnNames,     // it refuses the mark: files are made under their own names
};

// The states of a file (NewFile::state_).
enum FileState : unsigned char {
  kMarked,    // a temporary, marked: it vanishes with its handle
  kUnmarked,  // whole and unmarked, or made where the mark is refused
};

// A temporary name of the program's own is tried this many times before
// the folder's answer stands: another may hold the first (a run of the same
// process id before a restart, another program).
constexpr int kTemporaryNamesTried = 100;

// What an ending must put right: the one file in progress that stands under
// its own name, on a folder that refuses the mark. It is set and cleared
// while endings are held. Nothing else of new files is global: a marked
// file needs no ending's help.
struct ToRemoveOnEnding {
  std::string path;
  bool set = false;
};
ToRemoveOnEnding gToRemove;

// A console event ends the run: the file is removed by name while the
// process still holds it open (its handle shares deletion), and vanishes
// when the process ends, which closes it.
void RemoveOnEnding() {
  if (gToRemove.set) DeleteFileAnyLength(gToRemove.path);
}

// The prefix of `path` that names its folder: up to the last separator or
// drive colon, read by characters, empty for the current folder.
std::string FolderPrefixOf(const std::string& path) {
  const auto end = names::FindLastOf(path, "\\/:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// Sets or clears the file's delete disposition: marked, the file is removed
// when its last handle closes, and Windows closes every handle of a process
// however it ends.
bool MarkForDeletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(marked)};
  return Calls().SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                            sizeof disposition) != 0;
}

// Made exclusively (CREATE_NEW, no attributes), shared only for deletion so
// that the file can be removed by name while it is held, with DELETE access
// for the mark; where the folder grants the right to create files but not
// to delete them, without it.
HANDLE CreateExclusively(const std::string& path) {
  constexpr DWORD kShareDeletion = FILE_SHARE_DELETE;
  const HANDLE file = CreateFileAnyLength(path, GENERIC_WRITE | DELETE, kShareDeletion, CREATE_NEW);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return file;
  return CreateFileAnyLength(path, GENERIC_WRITE, kShareDeletion, CREATE_NEW);
}

// A second guard: whatever the name, only a file on a disk is written to.
// Otherwise it is closed, and the name is refused.
bool IsFileOnDisk(HANDLE file) {
  if (Calls().GetFileType(file) == FILE_TYPE_DISK) return true;
  Calls().CloseHandle(file);
  SetLastError(ERROR_INVALID_NAME);
  return false;
}

// Removes a file that is still open: through its handle (marked, then
// closed), or, where the mark is refused, by name before the close.
void RemoveHeld(HANDLE file, FileState state, const std::string& onDisk) {
  if (state != kMarked && !MarkForDeletion(file, true)) DeleteFileAnyLength(onDisk);
  Calls().CloseHandle(file);
}

// Holds endings off where the folder's files stand under their own names:
// only such a file needs an ending's help, and only while the file to
// remove is set or cleared.
class HeldForOwnNames {
 public:
  explicit HeldForOwnNames(bool ownNames) {
    if (ownNames) held_.emplace();
  }
  ~HeldForOwnNames() { held_.reset(); }
  HeldForOwnNames(const HeldForOwnNames&) = delete;
  HeldForOwnNames& operator=(const HeldForOwnNames&) = delete;
  HeldForOwnNames(HeldForOwnNames&&) = delete;
  HeldForOwnNames& operator=(HeldForOwnNames&&) = delete;

 private:
  std::optional<endings::Held> held_;
};

// WriteFile takes 32-bit counts: texts go in pieces of 1 MiB.
constexpr std::size_t kLargestWritePiece = std::size_t{1} << 20;

// Renames the open file to `path`, never over anything.
bool RenameTo(HANDLE file, const std::string& path) {
  const std::wstring target = win32_files::RenameTargetOf(path);
  if (target.empty()) return false;
  const std::size_t bytes = sizeof(FILE_RENAME_INFO) + sizeof(wchar_t) * target.size();
  std::vector<unsigned char> buffer(bytes, 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(sizeof(wchar_t) * target.size());
  std::copy(target.begin(), target.end(), rename->FileName);
  return Calls().SetFileInformationByHandle(file, FileRenameInfo, rename,
                                            static_cast<DWORD>(bytes)) != 0;
}

// Unmarks the whole temporary `file` and gives it the name `path`: Kept, or
// CloseFailed where the mark stays, or NameRefused where the name is not
// given, the file then marked again, with the rename's reason kept.
Finish GiveName(HANDLE file, unsigned char& state, std::string& onDisk, const std::string& path) {
  if (!MarkForDeletion(file, false)) return Finish::CloseFailed;
  state = kUnmarked;
  if (!RenameTo(file, path)) {
    // A name taken is told in the words a create gives, whichever made it.
    const DWORD error = GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : GetLastError();
    if (MarkForDeletion(file, true)) state = kMarked;
    SetLastError(error);
    return Finish::NameRefused;
  }
  onDisk = path;
  return Finish::Kept;
}

// A file of a free temporary name of the program's own in the folder of
// `prefix`, quarrow-partial-PID-N.tmp, named `path`, where `serial` counts
// the names given.
HANDLE CreateTemporary(const std::string& prefix, std::atomic<unsigned>& serial,
                       std::string& path) {
  const std::string stem =
      FolderPrefixOf(prefix) + "quarrow-partial-" + std::to_string(GetCurrentProcessId()) + "-";
  for (int tried = 0; tried < kTemporaryNamesTried; ++tried) {
    path = stem + std::to_string(++serial) + ".tmp";
    const HANDLE file = CreateExclusively(path);
    if (file != INVALID_HANDLE_VALUE) return IsFileOnDisk(file) ? file : INVALID_HANDLE_VALUE;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

// A temporary as CreateTemporary makes it, marked for deletion before its
// first byte; none where the mark is refused.
HANDLE CreateMarkedTemporary(const std::string& prefix, std::atomic<unsigned>& serial,
                             std::string& path) {
  const HANDLE file = CreateTemporary(prefix, serial, path);
  if (file == INVALID_HANDLE_VALUE || MarkForDeletion(file, true)) return file;
  const DWORD error = GetLastError();
  RemoveHeld(file, kUnmarked, path);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool NewFile::Write(const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    // No guard: a console event changes nothing a write uses, and takes
    // the file in progress by its name while it is still held.
    const BOOL written = Calls().WriteFile(
        Win(handle_), next, static_cast<DWORD>(std::min(size, kLargestWritePiece)), &put, nullptr);
    if (!written) return false;
    if (put == 0) {  // a disk file that takes nothing: the device failed the write
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    next += put;
    size -= put;
  }
  return true;
}

Finish NewFile::Keep() {
  if (state_ == kMarked) {
    const Finish named = GiveName(Win(handle_), state_, onDisk_, name_);
    if (named != Finish::Kept) return named;  // Discard removes it
  }
  const bool ownNames = folder_->road_ == kOwnNames;
  const HeldForOwnNames held(ownNames);
  const bool closed = Calls().CloseHandle(Win(handle_)) != 0;
  const DWORD error = GetLastError();
  handle_ = kNoFile;
  // Whole and unmarked: whatever the close said, it stays, for no handle is
  // left to remove it through, and its name may be another's from now on.
  if (ownNames) gToRemove.set = false;
  onDisk_.clear();
  SetLastError(error);
  return closed ? Finish::Kept : Finish::CloseFailed;
}

void NewFile::Discard() {
  const DWORD saved = GetLastError();
  if (handle_ != kNoFile) {
    const bool ownNames = folder_->road_ == kOwnNames;
    const HeldForOwnNames held(ownNames);
    RemoveHeld(Win(handle_), static_cast<FileState>(state_), onDisk_);
    if (ownNames) gToRemove.set = false;
  }
  handle_ = kNoFile;
  onDisk_.clear();
  SetLastError(saved);
}

OutputFolder::~OutputFolder() = default;

// Learns whether the folder takes the mark, from a temporary of its own
// that vanishes either way.
void OutputFolder::Open() {
  if (opened_) return;
  opened_ = true;
  endings::PutRightOnEnding(endings::Job::NewFile, RemoveOnEnding);
  std::string probe;
  const HANDLE file = CreateTemporary(prefix_, temporaries_, probe);
  if (file == INVALID_HANDLE_VALUE) {
    road_ = kOwnNames;  // each file then meets what the probe met, and says it
    return;
  }
  const bool marked = MarkForDeletion(file, true);
  road_ = marked ? kTemporaries : kOwnNames;
  RemoveHeld(file, marked ? kMarked : kUnmarked, probe);
}

NewFile OutputFolder::Make(std::string_view name) {
  NewFile file;
  if (!windows_names::IsPlainFileName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return file;
  }
  Open();
  std::string path = prefix_ + std::string(name);
  if (road_ == kTemporaries) {
    // No look at the name first: a name that is taken is found by the
    // rename, with the words a create gives. Each look at a name that is not
    // there costs some file systems (Wine's among them) a walk of the folder.
    file = WriteAhead(name, nullptr, 0);  // a marked temporary, its text to come
    if (file) file.name_ = std::move(path);
    return file;
  }
  const endings::Held held;
  const HANDLE handle = CreateExclusively(path);
  if (handle == INVALID_HANDLE_VALUE || !IsFileOnDisk(handle)) return file;
  gToRemove = {path, true};
  file.folder_ = this;
  file.handle_ = Ours(handle);
  file.state_ = kUnmarked;
  file.onDisk_ = std::move(path);
  return file;
}

bool OutputFolder::TakesFilesAhead() {
  Open();
  return road_ == kTemporaries;
}

NewFile OutputFolder::WriteAhead(std::string_view name, const void* data, std::size_t size) {
  NewFile file;
  if (!windows_names::IsPlainFileName(name)) return file;
  std::string temporary;
  const HANDLE handle = CreateMarkedTemporary(prefix_, temporaries_, temporary);
  if (handle == INVALID_HANDLE_VALUE) return file;
  file.folder_ = this;
  file.handle_ = Ours(handle);
  file.state_ = kMarked;
  file.onDisk_ = std::move(temporary);
  if (!file.Write(data, size)) file.Discard();
  return file;
}

bool OutputFolder::Claim(NewFile& written, std::string_view name) {
  if (!windows_names::IsPlainFileName(name)) return false;
  std::string path = prefix_ + std::string(name);
  return FolderPrefixOf(path) == FolderPrefixOf(prefix_) &&
         GiveName(Win(written.handle_), written.state_, written.onDisk_, path) == Finish::Kept;
}

}  // namespace platform

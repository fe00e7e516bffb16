// New files on Linux: written without a name where the file system allows
// it; elsewhere under a temporary name of the program's own, or, where the
// file system can give no name without replacing, under the file's own name,
// which whatever ends the run first removes. Given their real name only when
// whole, never over anything.
#include "platform/new_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>  // RENAME_NOREPLACE
#include <string>
#include <utility>

#include "platform/endings.h"
#include "platform/linux/calls.h"
#include "platform/linux/files.h"

namespace platform {

namespace {

using linux_calls::Calls;
using linux_files::Fd;
using linux_files::NativePath;

// The roads of a folder (OutputFolder::road_). The folder alone keeps it:
// each of its files takes its road, and naming a file can teach the folder
// a road it must take from then on (a link through /proc, a link and an
// unlink), for the files after it too.
enum Road : unsigned char {
  kNotLearned,
  kUnnamed,             // named by linking the open file itself
  kUnnamedThroughProc,  // named by linking /proc/self/fd/N (an ordinary user before Linux 6.10)
  kTemporaryRenamed,    // a temporary name, renamed refusing to replace
  kTemporaryLinked,     // a temporary name, linked, then removed
  kOwnName,             // its own name, made exclusively
};

bool IsUnnamed(unsigned char road) { return road == kUnnamed || road == kUnnamedThroughProc; }

// What an ending must remove: the one file in progress that stands under a
// name (a temporary, or its own), in its folder. A file fills it and clears
// it while endings are held; nothing else of new files is global.
struct ToRemoveOnEnding {
  int folder = -1;
  std::string name;
  volatile sig_atomic_t set = 0;

  // Call these while endings are held.
  void Set(int inFolder, const std::string& named) {
    folder = inFolder;
    name = named;
    set = 1;
  }
  void Clear() {
    set = 0;
    name.clear();
  }
};
ToRemoveOnEnding gToRemove;

void RemoveOnEnding() {
  if (gToRemove.set != 0) Calls().unlinkat(gToRemove.folder, gToRemove.name.c_str(), 0);
}

// The file systems that cannot hold a file without a name answer so.
bool UnnamedFilesRefused(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

int OpenUnnamed(int folder) {
  return Calls().openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

// Makes `name` in the folder exclusively, as a regular file: O_EXCL with
// O_CREAT never follows a link at the path, dangling or not. While endings
// are held, so that an ending removes it from its first moment.
int CreateExclusively(int folder, const std::string& name) {
  const endings::Held held;
  const int fd = Calls().openat(
      folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd >= 0) gToRemove.Set(folder, name);
  return fd;
}

// A name that is plainly the program's, for a file of the run in progress:
// all that a kill -9, a crash or a power cut can leave on a temporary road.
std::string TemporaryName(unsigned serial) {
  return "quarrow-partial-" + std::to_string(getpid()) + "-" + std::to_string(serial) + ".tmp";
}

// Makes a file of a temporary name exclusively; another name is tried where
// one is taken, and `name` is the one made. -1 with the reason in errno
// (EEXIST: every name tried is someone else's).
int CreateTemporary(int folder, std::atomic<unsigned>& serial, std::string& name) {
  for (int tries = 0; tries < 100; ++tries) {
    name = TemporaryName(++serial);
    const int fd = CreateExclusively(folder, name);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Removes a file of the run that stands under `name`, and what an ending
// would remove with it; the last error is kept.
void RemoveOwnFile(int folder, const std::string& name) {
  const int saved = errno;
  const endings::Held held;
  Calls().unlinkat(folder, name.c_str(), 0);
  gToRemove.Clear();
  errno = saved;
}

// Gives a file a second name of the program's own by `move` (a rename or a
// link to the name it is given), trying another where one is taken: the
// call's answer, with EEXIST only where every name tried was taken.
template <typename Move>
int MoveToFreeName(std::atomic<unsigned>& serial, std::string& second, const Move& move) {
  int answer = -1;
  for (int tries = 0; tries < 100; ++tries) {
    second = TemporaryName(++serial);
    answer = move(second);
    if (answer == 0 || errno != EEXIST) break;
  }
  return answer;
}

// Where the file system holds no file without a name: whether it gives a
// name by a rename that refuses to replace, or else by a link, tried once on
// a file of the program's own. One that takes neither (FAT through FUSE)
// gets each file under its own name. Where the try cannot tell, the first
// road stays, and each file meets the reason and says it. A name found taken
// (an earlier run's leftover) tells nothing of the file system, since the
// kernel refuses it before the file system is asked: another is tried.
Road TemporaryRoad(int folder, std::atomic<unsigned>& serial) {
  std::string probe;
  const int fd = CreateTemporary(folder, serial, probe);
  if (fd < 0) return kTemporaryRenamed;
  Calls().close(fd);
  const auto rename = [&](const std::string& to) {
    return Calls().renameat2(folder, probe.c_str(), folder, to.c_str(), RENAME_NOREPLACE);
  };
  const auto link = [&](const std::string& to) {
    return Calls().linkat(folder, probe.c_str(), folder, to.c_str(), 0);
  };
  Road road = kTemporaryRenamed;
  {
    const endings::Held held;
    std::string second;
    if (MoveToFreeName(serial, second, rename) == 0) {
      gToRemove.Set(folder, second);
      probe = second;
    } else if (errno == EINVAL || errno == ENOSYS) {
      const bool linked = MoveToFreeName(serial, second, link) == 0;
      road = linked ? kTemporaryLinked : kOwnName;
      if (linked) Calls().unlinkat(folder, second.c_str(), 0);
    }
  }
  RemoveOwnFile(folder, probe);
  return road;
}

// True, with errno EEXIST, when anything is at the name, even a dangling
// link; true with the reason when the folder cannot be looked in.
bool NameTaken(int folder, const std::string& name) {
  struct stat existing {};
  if (Calls().fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return true;
  }
  return errno != ENOENT;
}

// The name of a new file in the folder: the part of the prefix after its
// last slash, and the name; empty where the path names the folder itself.
std::string LeafName(const std::string& prefix, std::string_view name) {
  const std::string path = NativePath(prefix + std::string(name));
  return path.substr(path.rfind('/') + 1);  // npos + 1 is 0
}

// The folder of every new file: the prefix up to its last slash.
std::string FolderOf(const std::string& prefix) {
  const std::string path = NativePath(prefix);
  const auto lastSlash = path.rfind('/');
  if (lastSlash == std::string::npos) return ".";
  return lastSlash == 0 ? "/" : path.substr(0, lastSlash);
}

}  // namespace

bool NewFile::Write(const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = Calls().write(Fd(handle_), next, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    if (put == 0) {  // no progress and no reason given: never loop for ever
      errno = EIO;
      return false;
    }
    next += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

namespace {

// Closes the file; Linux frees the descriptor whether or not the close
// reports an error.
bool CloseNew(FileHandle& handle) {
  const bool closed = Calls().close(Fd(handle)) == 0;
  handle = kNoFile;
  return closed;
}

// Gives an unnamed file its name. linkat never replaces what is there.
// Naming the open file itself (AT_EMPTY_PATH) is the short way, refused to
// ordinary users before Linux 6.10; naming it through /proc is open to every
// user. The first refusal settles the road for the folder.
bool NameUnnamed(int fd, int folder, const std::string& name, unsigned char& folderRoad) {
  if (folderRoad == kUnnamed) {
    if (Calls().linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT) return false;
    folderRoad = kUnnamedThroughProc;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Calls().linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Gives a whole temporary file its real name, never over anything: a rename
// that refuses to replace, or a second link and the temporary's removal.
// Where a rename is refused after all, the folder takes the link from then on.
bool PublishTemporary(int folder, const std::string& temporary, const std::string& name,
                      unsigned char& folderRoad) {
  if (folderRoad == kTemporaryRenamed) {
    if (Calls().renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0)
      return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    folderRoad = kTemporaryLinked;
  }
  if (Calls().linkat(folder, temporary.c_str(), folder, name.c_str(), 0) != 0) return false;
  Calls().unlinkat(folder, temporary.c_str(), 0);  // left only if this fails: whole, beside it
  return true;
}

}  // namespace

Finish NewFile::Keep() {
  const int folder = Fd(folder_->handle_);
  if (IsUnnamed(folder_->road_)) {
    if (!NameUnnamed(Fd(handle_), folder, name_, folder_->road_)) return Finish::NameRefused;
    onDisk_ = name_;  // whole: an ending from here on leaves it, a failed close does not
    if (!CloseNew(handle_)) return Finish::CloseFailed;
    onDisk_.clear();
    return Finish::Kept;
  }
  // Closed before it is published: a failed close is a failed write, and
  // the file is still in progress, for Discard.
  if (!CloseNew(handle_)) return Finish::CloseFailed;
  const endings::Held held;
  if (folder_->road_ != kOwnName && !PublishTemporary(folder, onDisk_, name_, folder_->road_))
    return Finish::NameRefused;
  onDisk_.clear();
  gToRemove.Clear();
  return Finish::Kept;
}

void NewFile::Discard() {
  const int saved = errno;
  if (handle_ != kNoFile) CloseNew(handle_);  // an unnamed file vanishes
  if (!onDisk_.empty()) RemoveOwnFile(Fd(folder_->handle_), onDisk_);
  onDisk_.clear();
  errno = saved;
}

OutputFolder::~OutputFolder() {
  if (handle_ != kNoFile) Calls().close(Fd(handle_));
}

// Opened once for the run: each file then costs no walk of the folder's path.
void OutputFolder::Open() {
  if (opened_) return;
  opened_ = true;
  endings::PutRightOnEnding(endings::Job::NewFile, RemoveOnEnding);
  const int folder =
      Calls().openat(AT_FDCWD, FolderOf(prefix_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (folder < 0) {
    openError_ = static_cast<std::uint32_t>(errno);
    return;
  }
  handle_ = folder;
  // An unnamed file made and closed at once leaves nothing. Any other
  // refusal of it is each file's own failure, met and said there.
  const int unnamed = OpenUnnamed(folder);
  if (unnamed >= 0) Calls().close(unnamed);
  road_ =
      unnamed >= 0 || !UnnamedFilesRefused(errno) ? kUnnamed : TemporaryRoad(folder, temporaries_);
}

NewFile OutputFolder::Make(std::string_view name) {
  Open();
  NewFile file;
  if (handle_ == kNoFile) {
    errno = static_cast<int>(openError_);
    return file;
  }
  file.folder_ = this;
  file.name_ = LeafName(prefix_, name);
  // Every name that POSIX allows is kept; a path that ends in a slash names
  // the folder itself.
  if (file.name_.empty()) {
    errno = EEXIST;
    return file;
  }
  const int folder = Fd(handle_);
  if (IsUnnamed(road_)) {
    // Written without a name, a file cannot be left behind by any end of the
    // process. Anything at the name, even a dangling link, is found when it
    // is named (EEXIST: linkat never replaces).
    file.handle_ = OpenUnnamed(folder);
  } else if (road_ == kOwnName) {
    file.handle_ = CreateExclusively(folder, file.name_);
    if (file.handle_ != kNoFile) file.onDisk_ = file.name_;
  } else if (!NameTaken(folder, file.name_)) {  // nothing is written for a name that is taken
    std::string temporary;
    file.handle_ = CreateTemporary(folder, temporaries_, temporary);
    if (file.handle_ != kNoFile) file.onDisk_ = std::move(temporary);
  }
  return file;
}

bool OutputFolder::TakesFilesAhead() {
  Open();
  return IsUnnamed(road_);
}

NewFile OutputFolder::WriteAhead(std::string_view name, const void* data, std::size_t size) {
  NewFile file;
  if (LeafName(prefix_, name).empty()) return file;
  const int fd = OpenUnnamed(Fd(handle_));
  if (fd < 0) return file;
  file.folder_ = this;
  file.handle_ = fd;
  if (!file.Write(data, size)) file.Discard();
  return file;
}

bool OutputFolder::Claim(NewFile& written, std::string_view name) {
  std::string leaf = LeafName(prefix_, name);
  if (leaf.empty()) return false;
  written.name_ = std::move(leaf);
  return true;
}

}  // namespace platform

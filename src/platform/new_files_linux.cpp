// New files on Linux: written without a name where the file system allows
// it, elsewhere under a temporary name of the program's own that whatever
// ends the run first removes; given their real name only when whole, never
// over anything.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>  // RENAME_NOREPLACE
#include <string>
#include <utility>

#include "platform/endings.h"
#include "platform/files_linux.h"
#include "platform/linux_calls.h"
#include "platform/new_files.h"

namespace platform {

namespace {

using linux_calls::Calls;
using linux_files::Fd;
using linux_files::NativePath;

// The new file in progress. What the put-right below reads changes only
// while endings are held.
int gFdInProgress = -1;
int gFolderInProgress = -1;              // the folder of the new file
std::string gNameInProgress;             // and its real name there, once whole
bool gUnnamed = false;                   // written without a name, linked by FinishNew
std::string gOnDisk;                     // the name that holds it now, if any
volatile sig_atomic_t gRemoveOnEnd = 0;  // and an ending must remove it (a temporary name)

void RemoveFileInProgress() {
  if (gRemoveOnEnd != 0) Calls().unlinkat(gFolderInProgress, gOnDisk.c_str(), 0);
}

// The folder new files go into, opened once for the run (the output folder
// is one prefix): each file then costs no walk of the folder's path.
// -1 when it cannot be opened, with the reason in errno.
int OpenFolder(const std::string& path) {
  static std::string openedPath;
  static int opened = -1;
  if (opened >= 0 && path == openedPath) return opened;
  if (opened >= 0) Calls().close(opened);
  openedPath = path;
  opened = Calls().openat(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  return opened;
}

// The file systems that cannot hold a file without a name answer so.
bool UnnamedFilesRefused(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Gives the unnamed file its name in the folder. linkat never replaces what
// is there. Naming the open file itself (AT_EMPTY_PATH) is the short way,
// refused to ordinary users before Linux 6.10; naming it through /proc is
// open to every user. The first refusal settles the road for the run.
bool NameUnnamedFile(int fd, int folder, const std::string& name) {
  static bool shortWayRefused = false;
  if (!shortWayRefused) {
    if (Calls().linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT) return false;
    shortWayRefused = true;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Calls().linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Where the file system cannot hold a file without a name, the text is
// written under a name that is plainly the program's, made exclusively in
// the output folder: all that a kill -9, a crash or a power cut can leave.
int CreateTemporary(int folder) {
  static unsigned serial = 0;
  for (int tries = 0; tries < 100; ++tries) {
    gOnDisk =
        "quarrow-partial-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".tmp";
    // O_EXCL with O_CREAT never follows a link at the path, dangling or not,
    // and always makes a regular file.
    const int fd =
        Calls().openat(folder, gOnDisk.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // EEXIST: every name tried is someone else's
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

// Gives the whole temporary file its real name, never over anything: a
// rename that refuses to replace (vfat, CIFS and local file systems take
// it), or, where the file system refuses that rename (NFS), a second link
// and the temporary's removal. Where neither is taken, nothing is published
// and the reason is the link's. The first refusal settles the road for the
// run.
bool PublishTemporary(int folder, const std::string& temporary, const std::string& name) {
  static bool renameRefused = false;
  if (!renameRefused) {
    if (Calls().renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0)
      return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    renameRefused = true;
  }
  if (Calls().linkat(folder, temporary.c_str(), folder, name.c_str(), 0) != 0) return false;
  Calls().unlinkat(folder, temporary.c_str(), 0);  // left only if this fails: whole, beside it
  return true;
}

// Where a new file goes: the folder's path and the name in it. The directory
// is a plain prefix of the name.
struct NewPath {
  std::string folder;
  std::string leaf;
};

NewPath SplitNewPath(const std::string& directory, std::string_view name) {
  const std::string path = NativePath(directory + std::string(name));
  const auto lastSlash = path.rfind('/');
  if (lastSlash == std::string::npos) return {".", path};
  return {lastSlash == 0 ? "/" : path.substr(0, lastSlash), path.substr(lastSlash + 1)};
}

Finish CloseNew(int fd) {
  const bool closed = Calls().close(fd) == 0;
  const int error = errno;
  gFdInProgress = -1;  // Linux frees the descriptor either way
  errno = error;
  return closed ? Finish::Kept : Finish::CloseFailed;
}

}  // namespace

FileHandle CreateNew(const std::string& directory, std::string_view name) {
  endings::PutRightOnEnding(endings::Job::NewFile, RemoveFileInProgress);
  NewPath path = SplitNewPath(directory, name);
  const int folder = OpenFolder(path.folder);
  if (folder < 0) return kNoFile;
  // Every name that POSIX allows is kept; a path that ends in a slash names
  // the folder itself.
  if (path.leaf.empty()) {
    errno = EEXIST;
    return kNoFile;
  }
  // Written without a name, a file cannot be left behind by any end of the
  // process, so there is nothing for an ending to put right. Anything at the
  // name, even a dangling link, is found when it is named (EEXIST: linkat
  // never replaces); the temporary road looks first, so that nothing is
  // written for a name that is taken.
  int fd = Calls().openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0 && !UnnamedFilesRefused(errno)) return kNoFile;
  if (fd < 0 && NameTaken(folder, path.leaf)) return kNoFile;
  const endings::Held held;  // made, and marked for removal, with no ending in between
  gUnnamed = fd >= 0;
  if (!gUnnamed) {
    fd = CreateTemporary(folder);
    if (fd < 0) {
      gOnDisk.clear();
      return kNoFile;  // errno is the open's; the holder and clear() keep it
    }
  }
  gFdInProgress = fd;
  gFolderInProgress = folder;
  gNameInProgress = std::move(path.leaf);
  if (gUnnamed) gOnDisk.clear();
  gRemoveOnEnd = gUnnamed ? 0 : 1;
  return fd;
}

bool WriteAll(FileHandle file, const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = Calls().write(Fd(file), next, size);
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

Finish FinishNew(FileHandle file) {
  if (gUnnamed) {
    if (!NameUnnamedFile(Fd(file), gFolderInProgress, gNameInProgress)) return Finish::NameRefused;
    {
      const endings::Held held;  // whole: an ending from here on leaves it, a failed close does not
      gOnDisk = gNameInProgress;
    }
    const Finish closed = CloseNew(Fd(file));
    if (closed == Finish::Kept) {
      const endings::Held held;
      gOnDisk.clear();
    }
    return closed;
  }
  // Closed before it is published: a failed close is a failed write, and
  // the temporary is still in progress, for DiscardNew.
  const Finish closed = CloseNew(Fd(file));
  if (closed != Finish::Kept) return closed;
  const endings::Held held;
  if (!PublishTemporary(gFolderInProgress, gOnDisk, gNameInProgress)) return Finish::NameRefused;
  gOnDisk.clear();
  gRemoveOnEnd = 0;
  return Finish::Kept;
}

void DiscardNew() {
  const int saved = errno;
  {
    const endings::Held held;
    if (gFdInProgress >= 0) Calls().close(gFdInProgress);  // an unnamed file vanishes
    gFdInProgress = -1;
    if (!gOnDisk.empty()) Calls().unlinkat(gFolderInProgress, gOnDisk.c_str(), 0);
    gOnDisk.clear();
    gRemoveOnEnd = 0;
  }
  errno = saved;
}

FileHandle FolderForAhead() { return gUnnamed ? gFolderInProgress : kNoFile; }

FileHandle WriteAhead(FileHandle folder, const void* data, std::size_t size) {
  const int fd = Calls().openat(Fd(folder), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return kNoFile;
  if (!WriteAll(fd, data, size)) {
    Calls().close(fd);
    return kNoFile;
  }
  return fd;
}

bool TakeAhead(FileHandle file, const std::string& directory, std::string_view name) {
  NewPath path = SplitNewPath(directory, name);
  if (path.leaf.empty()) return false;
  // The folder stays the last CreateNew's: every new file of a run goes to
  // the one output folder.
  const endings::Held held;
  gUnnamed = true;
  gFdInProgress = Fd(file);
  gNameInProgress = std::move(path.leaf);
  gOnDisk.clear();
  gRemoveOnEnd = 0;
  return true;
}

void DropAhead(FileHandle file) { Calls().close(Fd(file)); }

}  // namespace platform

// New files on Linux: written without a name where the file system allows it
// and named when whole; elsewhere made under their name and removed by
// whatever ends the run first.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
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
std::string gNameInProgress;             // and its name there, now or once whole
bool gUnnamed = false;                   // written without a name, named by FinishNew
bool gNamed = false;                     // the name holds the file in progress
volatile sig_atomic_t gRemoveOnEnd = 0;  // and an ending must remove it (no unnamed files here)

void RemoveFileInProgress() {
  if (gRemoveOnEnd != 0) Calls().unlinkat(gFolderInProgress, gNameInProgress.c_str(), 0);
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

Finish CloseNew(int fd) {
  const bool closed = Calls().close(fd) == 0;
  const int error = errno;
  gFdInProgress = -1;  // Linux frees the descriptor either way
  if (closed) {
    gNamed = false;
    gRemoveOnEnd = 0;
  }
  errno = error;
  return closed ? Finish::Kept : Finish::CloseFailed;
}

}  // namespace

FileHandle CreateNew(const std::string& directory, std::string_view name) {
  endings::PutRightOnEnding(endings::Job::NewFile, RemoveFileInProgress);
  const std::string path = NativePath(directory + std::string(name));
  const auto lastSlash = path.rfind('/');
  const std::string folderPath = lastSlash == std::string::npos ? "."
                                 : lastSlash == 0               ? "/"
                                                                : path.substr(0, lastSlash);
  std::string leaf = lastSlash == std::string::npos ? path : path.substr(lastSlash + 1);
  const int folder = OpenFolder(folderPath);
  if (folder < 0) return kNoFile;
  // Every name that POSIX allows is kept. Anything at the name, even a
  // dangling link, is refused before a byte is written; a path that ends in
  // a slash names the folder itself.
  struct stat existing {};
  if (leaf.empty() || Calls().fstatat(folder, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return kNoFile;
  }
  if (errno != ENOENT) return kNoFile;

  // Written without a name, a file cannot be left behind by any end of the
  // process, so there is nothing for an ending to put right.
  int fd = Calls().openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0 && !UnnamedFilesRefused(errno)) return kNoFile;
  if (fd >= 0) {
    gFdInProgress = fd;
    gUnnamed = true;
    gFolderInProgress = folder;
    gNameInProgress = std::move(leaf);  // the put-right leaves it alone
    return fd;
  }
  // Made, and marked for removal, with no ending in between. O_EXCL with
  // O_CREAT never follows a link at the path, dangling or not, and always
  // makes a regular file.
  const endings::Held held;
  fd = Calls().openat(folder, leaf.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return kNoFile;  // errno is the open's; the holder keeps it
  gFdInProgress = fd;
  gUnnamed = false;
  gNamed = true;
  gFolderInProgress = folder;
  gNameInProgress = std::move(leaf);
  gRemoveOnEnd = 1;
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
    if (!NameUnnamedFile(Fd(file), gFolderInProgress, gNameInProgress)) return Finish::NameTaken;
    gNamed = true;  // whole: an ending from here on leaves it, a failed close does not
    return CloseNew(Fd(file));
  }
  // Closed and kept with no ending in between: a finished file stays.
  const endings::Held held;
  return CloseNew(Fd(file));
}

void DiscardNew() {
  const int saved = errno;
  {
    const endings::Held held;
    if (gFdInProgress >= 0) Calls().close(gFdInProgress);  // an unnamed file vanishes
    gFdInProgress = -1;
    if (gNamed) Calls().unlinkat(gFolderInProgress, gNameInProgress.c_str(), 0);
    gNamed = false;
    gRemoveOnEnd = 0;
  }
  errno = saved;
}

}  // namespace platform

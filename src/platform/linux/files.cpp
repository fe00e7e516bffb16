// Reading files on Linux.
#include "platform/linux/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <vector>

#include "platform/files.h"
#include "platform/linux/calls.h"
#include "platform/terminal.h"
#include "platform/threads.h"

namespace platform {

const std::string_view kProgramPathSeparators = "\\/";

namespace {

using linux_calls::Calls;
using linux_files::Fd;
using linux_files::NativePath;

// What the open of the file last opened for reading found, so that asking
// its size or kind costs no second call (one a file, for a tree of them).
thread_local int gOpenedFd = -1;
thread_local struct stat gOpenedInfo {};

bool Stat(FileHandle file, struct stat& info) {
  if (Fd(file) == gOpenedFd) {
    info = gOpenedInfo;
    return true;
  }
  return Calls().fstat(Fd(file), &info) == 0;
}

}  // namespace

bool KeepStandardStreamsApart() {
  // A write past a file-size limit (ulimit -f) fails with EFBIG, on a
  // standard stream as on a new file, and takes the road of every failed
  // write, instead of ending the process.
  ::signal(SIGXFSZ, SIG_IGN);
  for (int stream = 0; stream <= 2; ++stream) {
    if (Calls().fcntl(stream, F_GETFD, 0) >= 0 || errno != EBADF) continue;
    // The lowest free number is the stream's. Where there is no /dev (a bare
    // chroot), the root folder as a path-only descriptor refuses every read
    // and write just the same.
    int fd = Calls().openat(AT_FDCWD, "/dev/null", O_RDONLY | O_NOCTTY, 0);
    if (fd < 0) fd = Calls().openat(AT_FDCWD, "/", O_PATH | O_DIRECTORY, 0);
    if (fd != stream) return false;
  }
  return true;
}

FileHandle OpenForReading(const std::string& path) {
  // O_NONBLOCK so that opening a FIFO with no writer cannot hang the run.
  const int fd = Calls().openat(AT_FDCWD, NativePath(path).c_str(),
                                O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return kNoFile;
  struct stat info {};
  if (Calls().fstat(fd, &info) != 0) {
    const int saved = errno;
    Calls().close(fd);
    errno = saved;
    return kNoFile;
  }
  if (S_ISDIR(info.st_mode)) {  // Windows refuses to open a directory as a file.
    Calls().close(fd);
    errno = EISDIR;
    return kNoFile;
  }
  // Reads of a FIFO must wait for its writer, so blocking mode comes back.
  // (For other files the flag changes nothing, and costs two calls a file.)
  if (S_ISFIFO(info.st_mode))
    Calls().fcntl(fd, F_SETFL, Calls().fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
  gOpenedFd = fd;
  gOpenedInfo = info;
  return fd;
}

// Only a regular file is opened: opening a device, a FIFO or a socket is an
// action of its own (a watchdog arms, a tape rewinds, a FIFO's writer is
// let go), and a stored path may come from anyone. Its object, after links,
// is looked at without opening it; anything but a regular file or a
// directory is not found. What was opened is looked at again, so that a
// file swapped for something else between the two is not read either. (A
// swap in that moment can still make the system open what it put there:
// only a path-only descriptor reopened through /proc shuts that out, and it
// costs about as much again as the whole read of a small file.)
FileHandle OpenStoredFile(const std::string& path) {
  const std::string native = NativePath(path);
  struct stat looked {};
  if (Calls().fstatat(AT_FDCWD, native.c_str(), &looked, 0) != 0) return kNoFile;
  if (S_ISDIR(looked.st_mode)) {  // Windows refuses to open a directory as a file.
    errno = EISDIR;
    return kNoFile;
  }
  if (!S_ISREG(looked.st_mode)) {
    errno = ENOENT;
    return kNoFile;
  }
  const int fd =
      Calls().openat(AT_FDCWD, native.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return kNoFile;
  struct stat opened {};
  if (Calls().fstat(fd, &opened) != 0) {
    const int saved = errno;
    Calls().close(fd);
    errno = saved;
    return kNoFile;
  }
  if (!S_ISREG(opened.st_mode) || opened.st_dev != looked.st_dev ||
      opened.st_ino != looked.st_ino) {
    Calls().close(fd);
    errno = ENOENT;
    return kNoFile;
  }
  gOpenedFd = fd;
  gOpenedInfo = opened;
  return fd;
}

std::optional<std::uint64_t> FileSize(FileHandle file) {
  struct stat info {};
  if (!Stat(file, info)) return std::nullopt;
  if (!S_ISREG(info.st_mode)) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

bool IsPipe(FileHandle file) {
  struct stat info {};
  return Stat(file, info) && S_ISFIFO(info.st_mode);
}

bool ReadExactly(FileHandle file, void* buffer, std::size_t size) {
  auto* next = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = Calls().read(Fd(file), next, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {  // The file ended early: no system error to report.
      errno = 0;
      return false;
    }
    next += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

namespace linux_files {

std::string NativePath(const std::string& path) {
  std::string native = path;
  for (std::size_t at = 0; at < native.size();
       at += NameCharacterLength(std::string_view(native).substr(at)))
    if (native[at] == '\\') native[at] = '/';
  return native;
}

std::vector<ByteRange> SplitIntoParts(std::size_t size, std::size_t parts, std::size_t granule) {
  parts = std::max<std::size_t>(parts, 1);
  granule = std::max<std::size_t>(granule, 1);
  // Each part's share, rounded up to whole granules: `parts` of them reach
  // past the end, so there are never more ranges than parts. Where one
  // rounded part would pass the file's last whole granule, it is the file.
  const std::size_t share = size / parts + (size % parts != 0 ? 1 : 0);
  const std::size_t granules = share / granule + (share % granule != 0 ? 1 : 0);
  const std::size_t partSize = granules > size / granule ? size : granules * granule;
  std::vector<ByteRange> ranges;
  for (std::size_t offset = 0; offset < size; offset += ranges.back().size)
    ranges.push_back({offset, std::min(partSize, size - offset)});
  return ranges;
}

}  // namespace linux_files

namespace {

// Reads a range of the file, continuing over short reads; the error number
// on failure, 0 when the file ends first, -1 when every byte was read.
int ReadRange(int fd, char* block, linux_files::ByteRange range) {
  char* into = block + range.offset;
  std::size_t offset = range.offset;
  for (std::size_t left = range.size; left > 0;) {
    const ssize_t got = Calls().pread(fd, into, left, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 ? errno : 0;
    into += got;
    offset += static_cast<std::size_t>(got);
    left -= static_cast<std::size_t>(got);
  }
  return -1;
}

}  // namespace

bool ReadWholeRegularFile(FileHandle file, void* buffer, std::size_t size, unsigned threadsBeside) {
  // Parts of at least 32 MiB, in whole huge pages, one a thread, at most 4:
  // past that, the memory bus, not the CPUs, sets the pace.
  constexpr std::size_t kSmallestPart = std::size_t{32} << 20;
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const std::size_t parts =
      std::min<std::size_t>({std::size_t{threadsBeside} + 1, 4, size / kSmallestPart});
  if (parts <= 1) return ReadExactly(file, buffer, size);
  const std::vector<linux_files::ByteRange> ranges =
      linux_files::SplitIntoParts(size, parts, kHugePage);
  std::vector<int> outcomes(ranges.size(), -1);
  const auto readPart = [&](std::size_t part) {
    outcomes[part] = ReadRange(Fd(file), static_cast<char*>(buffer), ranges[part]);
  };
  // Each part a thread would have read, where the system starts none, is
  // read here.
  std::vector<std::function<void()>> bodies;
  for (std::size_t part = 0; part < ranges.size(); ++part)
    bodies.emplace_back([&, part] { readPart(part); });
  std::vector<ThreadHandle> readers;
  for (std::size_t part = 1; part < ranges.size(); ++part) {
    ThreadHandle reader{};
    if (StartThread(bodies[part], reader))
      readers.push_back(reader);
    else
      readPart(part);
  }
  readPart(0);
  for (const ThreadHandle reader : readers) JoinThread(reader);
  const auto failed =
      std::find_if(outcomes.begin(), outcomes.end(), [](int outcome) { return outcome >= 0; });
  if (failed != outcomes.end()) {
    errno = *failed;
    return false;
  }
  // Every part read whole. The split tiles the file; this says so where it
  // counts, so that no change to it can make a short load pass for a whole one.
  const std::size_t covered = std::accumulate(
      ranges.begin(), ranges.end(), std::size_t{0},
      [](std::size_t sum, const linux_files::ByteRange& range) { return sum + range.size; });
  if (covered == size) return true;
  errno = 0;
  return false;
}

std::optional<std::size_t> ReadSome(FileHandle file, void* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = Calls().read(Fd(file), buffer, capacity);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::nullopt;
  }
}

void Close(FileHandle file) {
  if (Fd(file) == gOpenedFd) gOpenedFd = -1;
  Calls().close(Fd(file));
}

std::uint32_t LastErrorCode() { return static_cast<std::uint32_t>(errno); }

std::string ErrorMessage(std::uint32_t code) {
  const char* text = strerrordesc_np(static_cast<int>(code));
  return text == nullptr ? std::string() : std::string(text);
}

bool IsNotFoundError(std::uint32_t code) {
  return code == static_cast<std::uint32_t>(ENOENT) || code == static_cast<std::uint32_t>(ENOTDIR);
}

void* AllocateBlock(std::size_t size) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (size < kHugePage) return std::malloc(size == 0 ? 1 : size);
  const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  if (rounded < size) return nullptr;
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (block != nullptr) Calls().madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

}  // namespace platform

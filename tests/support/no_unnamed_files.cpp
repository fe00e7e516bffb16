// A file system without unnamed files, as vfat and some network file systems
// are, for a program started with this library preloaded (LD_PRELOAD): every
// open of an unnamed file is refused the way they refuse it, and a write
// takes at most 1 MiB, as a network file system may, so that a run can be
// stopped between two pieces of a file. With QUARROW_SHIM_NO_LINKS set, it
// takes neither a rename that refuses to replace nor a link, as FAT through
// FUSE answers.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

extern "C" int openat(int folder, const char* path, int flags, ...) {
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {  // the one case with a mode after the flags
    va_list rest;
    va_start(rest, flags);
    mode = static_cast<mode_t>(va_arg(rest, unsigned));
    va_end(rest);
  }
  using Openat = int (*)(int, const char*, int, ...);
  static const auto real = reinterpret_cast<Openat>(dlsym(RTLD_NEXT, "openat"));
  return real(folder, path, flags, mode);
}

extern "C" int openat64(int folder, const char* path, int flags, ...)
    __attribute__((alias("openat")));

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  constexpr size_t kLargestPiece = size_t{1} << 20;
  using Write = ssize_t (*)(int, const void*, size_t);
  static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  return real(fd, data, size < kLargestPiece ? size : kLargestPiece);
}

namespace {
bool NoLinks() {
  static const bool set = std::getenv("QUARROW_SHIM_NO_LINKS") != nullptr;
  return set;
}
}  // namespace

extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                         unsigned flags) {
  if (NoLinks() && flags != 0) {
    errno = EINVAL;
    return -1;
  }
  using Renameat2 = int (*)(int, const char*, int, const char*, unsigned);
  static const auto real = reinterpret_cast<Renameat2>(dlsym(RTLD_NEXT, "renameat2"));
  return real(fromFolder, from, toFolder, to, flags);
}

extern "C" int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  if (NoLinks()) {
    errno = EPERM;
    return -1;
  }
  using Linkat = int (*)(int, const char*, int, const char*, int);
  static const auto real = reinterpret_cast<Linkat>(dlsym(RTLD_NEXT, "linkat"));
  return real(fromFolder, from, toFolder, to, flags);
}

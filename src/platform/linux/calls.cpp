#include "platform/linux/calls.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/mman.h>
#include <unistd.h>

namespace platform::linux_calls {

const SystemCalls& RealCalls() {
  static const SystemCalls real = {
      [](int folder, const char* path, int flags, mode_t mode) {
        return ::openat(folder, path, flags, mode);
      },
      ::close,
      ::read,
      ::pread,
      ::write,
      ::fstat,
      ::fstatat,
      [](int fd, int command, int argument) { return ::fcntl(fd, command, argument); },
      ::linkat,
      ::renameat2,
      ::unlinkat,
      ::madvise,
      ::poll,
      ::isatty,
      ::tcgetpgrp,
      ::tcgetattr,
      ::tcsetattr,
      ::pthread_create,
      ::sysconf,
      "",
  };
  return real;
}

SystemCalls& Calls() {
  static SystemCalls calls = RealCalls();
  return calls;
}

}  // namespace platform::linux_calls

// The system calls under the POSIX layer's files, gathered in one table so
// that a test can make any of them fail the way it wants (an interrupted
// call, a short write, a refused feature, a failed close) and put it back
// after. The program always runs with the real calls.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace platform::posix {

struct SystemCalls {
  int (*openat)(int folder, const char* path, int flags, mode_t mode);
  int (*linkat)(int fromDirectory, const char* from, int toDirectory, const char* to, int flags);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*close)(int fd);
  int (*unlinkat)(int folder, const char* path, int flags);
};

// The table the layer calls through; tests replace entries of it.
SystemCalls& Calls();

// The real calls.
const SystemCalls& RealCalls();

}  // namespace platform::posix

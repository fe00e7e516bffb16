// The system calls under the Linux files of the platform layer (files, new
// files, the terminal, threads), gathered in one table so that a test can make any of
// them fail the way it wants (an interrupted call, a short read or write, a
// refused feature, a failed close or rename) and put it back after. The
// program always runs with the real calls.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>

namespace platform::linux_calls {

struct SystemCalls {
  int (*openat)(int folder, const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*pread)(int fd, void* buffer, std::size_t size, off_t offset);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*fstat)(int fd, struct stat* info);
  int (*fstatat)(int folder, const char* path, struct stat* info, int flags);
  int (*fcntl)(int fd, int command, int argument);
  int (*linkat)(int fromFolder, const char* from, int toFolder, const char* to, int flags);
  int (*renameat2)(int fromFolder, const char* from, int toFolder, const char* to,
                   unsigned int flags);
  int (*unlinkat)(int folder, const char* path, int flags);
  int (*madvise)(void* start, std::size_t length, int advice);
  int (*poll)(struct pollfd* fds, nfds_t count, int milliseconds);
  int (*isatty)(int fd);
  pid_t (*tcgetpgrp)(int fd);
  int (*tcgetattr)(int fd, struct termios* mode);
  int (*tcsetattr)(int fd, int when, const struct termios* mode);
  int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attributes, void* (*body)(void*),
                        void* argument);
  long (*sysconf)(int name);
  // The folder that stands for / where the CPUs granted and free are read
  // (/proc/self/status, /proc/self/cgroup, /proc/stat and the cgroups): ""
  // for the system's own; a test's tree grants the CPUs it needs.
  const char* cpuTreeRoot;
};

// The table the layer calls through; tests replace entries of it.
SystemCalls& Calls();

// The real calls.
const SystemCalls& RealCalls();

}  // namespace platform::linux_calls

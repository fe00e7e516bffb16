// What the Linux files of the platform layer share: stored paths made native,
// and the descriptor behind a handle.
#pragma once

#include <algorithm>
#include <string>

#include "platform/files.h"

namespace platform::linux_files {

// Stored paths use the backslash; this system's separator is the slash.
inline std::string NativePath(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

inline int Fd(FileHandle file) { return static_cast<int>(file); }

}  // namespace platform::linux_files

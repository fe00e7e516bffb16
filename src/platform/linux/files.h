// What the Linux files of the platform layer share: stored paths made native,
// and the descriptor behind a handle.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/files.h"

namespace platform::linux_files {

// Stored paths use the backslash; this system's separator is the slash. A
// backslash is turned only where it stands as a character of the user's code
// set, never as the second byte of one (Shift_JIS, GBK, Big5). (No second
// byte of theirs is a slash: the slash found later is always one.)
std::string NativePath(const std::string& path);

inline int Fd(FileHandle file) { return static_cast<int>(file); }

// A run of bytes of a file: where it starts, and how many.
struct ByteRange {
  std::size_t offset;
  std::size_t size;
};

// How a load of `size` bytes is shared among at most `parts` readers: in
// order, without gaps or overlaps, from 0 to exactly `size`, none empty. Each
// range but the last is a whole number of `granule`s, so that no two readers
// fault in the same huge page; the last one ends at the size, whatever the
// rounding left it.
std::vector<ByteRange> SplitIntoParts(std::size_t size, std::size_t parts, std::size_t granule);

}  // namespace platform::linux_files

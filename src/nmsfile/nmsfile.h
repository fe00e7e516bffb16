// The reader of .nms symbol files: loads one whole, checks every structure
// the source walk will use, and walks the source entries that hold text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace nms {

// Called once per source entry that holds text, with the path as built (valid
// only during the call), the text's size and the text itself (valid for the
// rest of the process). Returns non-zero to go on with the walk.
using SourceVisitor = int (*)(const char* path, std::uint32_t size, const char* text);

// Prefix for stored paths that begin with a full stop; null when absent.
// Set by the commands that take /SrcBaseDir before the walk.
extern const char* SrcBaseDir;

// Loads and checks the file at `path`; returns only when it can be walked.
// A large file may be read by up to `threadsBeside` threads beside this one.
void LoadNmsFile(const char* path, unsigned threadsBeside);

// Checks an image already in memory and keeps it as the loaded file; the
// bytes must stay valid for the rest of the process. Returns only on success.
void LoadNmsImage(const char* image, std::uint32_t size);

// Calls the visitor for each entry with text, in stored order, from the
// entry at index `first`.
void ForEachSource(SourceVisitor visitor, std::size_t first = 0);

// The loaded file's size in bytes, all of it held for the whole run.
std::uint32_t LoadedSize();

// How many source entries the loaded file stores, with text or without.
std::uint32_t SourceCount();

// A source entry that holds text, as views into the loaded file, valid for
// the rest of the process.
struct StoredSource {
  const char* path;  // as stored, zero-terminated: see BuildPath
  std::uint32_t size;
  const char* text;
};

// The entry at `index`, below SourceCount(); nullopt when it holds no text.
std::optional<StoredSource> SourceAt(std::size_t index);

// The path the walk gives for a stored path: SrcBaseDir before one that
// begins with a full stop. Built in `buffer`, one of the calling thread's
// own, and valid while it is.
const char* BuildPath(const char* stored, std::string& buffer);

}  // namespace nms

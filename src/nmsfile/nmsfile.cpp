#include "nmsfile/nmsfile.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "app/report.h"
#include "platform/files.h"

namespace nms {

const char* SrcBaseDir = nullptr;

namespace {

using app::FailWith;

constexpr std::uint64_t kLargestNmsFile = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kSourceEntrySize = 20;

// The loaded image and the positions derived from it. Every position has been
// checked to lie inside the image, with room for what is read there.
struct SymbolFile {
  const unsigned char* image = nullptr;
  std::uint32_t size = 0;
  std::uint32_t directory = 0;
  std::uint32_t stringCount = 0;
  std::uint64_t stringOffsets = 0;
  std::uint64_t stringPool = 0;
  std::uint64_t firstEntry = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t textPool = 0;
};

SymbolFile gFile;

// True when `length` bytes from `offset` lie inside the image. Sums are taken
// in 64 bits, so no offset from the file can wrap around.
bool Fits(std::uint64_t offset, std::uint64_t length) {
  return offset <= gFile.size && length <= gFile.size - offset;
}

std::uint32_t Get32(std::uint64_t offset) {
  const unsigned char* bytes = gFile.image + offset;
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

// Reads a 32-bit field, or ends the run with `failure` when it lies outside.
std::uint32_t Field(std::uint64_t offset, const char* failure) {
  if (!Fits(offset, 4)) FailWith(failure);
  return Get32(offset);
}

void CheckTag(std::uint32_t offset, const char* tag) {
  if (!Fits(offset, 4)) FailWith(std::string("Unexpected ") + tag + " offset value in .nms file");
  if (std::memcmp(gFile.image + offset, tag, 4) != 0) {
    app::Print(platform::Stream::Output, "ERROR: expecting '%4.4s' but found %08Xh\n", tag,
               Get32(offset));
    FailWith("Unrecognized file format");
  }
}

// Reads a section's offset from the directory and checks the section's tag.
std::uint32_t CheckedSection(std::uint32_t fieldOffset, const char* tag) {
  const std::uint32_t section =
      Field(std::uint64_t{gFile.directory} + fieldOffset, "Truncated NMDR directory in .nms file");
  CheckTag(section, tag);
  return section;
}

struct SectionOffsets {
  std::uint32_t sttb;
  std::uint32_t symd;
  std::uint32_t srcp;
};

// The checks that files have always been given, in their order.
SectionOffsets CheckHeaderAndTags() {
  if (!Fits(0, 4) || std::memcmp(gFile.image, "NM32", 4) != 0)
    FailWith(".nms file does not have NM32 signature");
  gFile.directory = Field(12, "Truncated header in .nms file");
  if (gFile.directory >= gFile.size) FailWith("Unexpected NMDR offset value in .nms file");
  CheckTag(gFile.directory, "NMDR");
  CheckedSection(8, "GTYP");
  const std::uint32_t sttb = CheckedSection(12, "STTB");
  const std::uint32_t symd = CheckedSection(16, "SYMD");
  const std::uint32_t srcp = CheckedSection(20, "SRCP");
  return {sttb, symd, srcp};
}

void LocateStrings(std::uint32_t sttb) {
  if (!Fits(sttb, 20)) FailWith("Truncated STTB section in .nms file");
  gFile.stringCount = Get32(std::uint64_t{sttb} + 8);
  gFile.stringOffsets = std::uint64_t{sttb} + 20;
  if (gFile.stringCount > (gFile.size - gFile.stringOffsets) / 4)
    FailWith("Unexpected string count value in .nms file");
  gFile.stringPool = gFile.stringOffsets + std::uint64_t{4} * gFile.stringCount;
}

void LocateSourceTable(std::uint32_t symd) {
  if (!Fits(symd, 12)) FailWith("Truncated SYMD section in .nms file");
  const std::uint32_t table = Get32(std::uint64_t{symd} + 8);
  if (!Fits(table, 8)) FailWith("Unexpected source table offset value in .nms file");
  gFile.firstEntry = std::uint64_t{table} + Get32(table);
  gFile.entryCount = Get32(std::uint64_t{table} + 4);
  if (gFile.firstEntry > gFile.size ||
      gFile.entryCount > (gFile.size - gFile.firstEntry) / kSourceEntrySize)
    FailWith("Unexpected source entry offset or count value in .nms file");
}

void LocateTextPool(std::uint32_t srcp) {
  if (!Fits(srcp, 12)) FailWith("Truncated SRCP section in .nms file");
  gFile.textPool = Get32(std::uint64_t{srcp} + 8);
}

struct SourceEntry {
  std::uint32_t pathIndex;
  std::uint32_t textOffset;
  std::uint32_t textSize;
};

SourceEntry EntryAt(std::uint32_t index) {
  const std::uint64_t entry = gFile.firstEntry + std::uint64_t{kSourceEntrySize} * index;
  return {Get32(entry), Get32(entry + 4), Get32(entry + 8)};
}

[[noreturn]] void FailForEntry(const char* problem, std::uint32_t index) {
  FailWith(std::string(problem) + " in source entry " + std::to_string(index) + " of .nms file");
}

// Where the entry's path string starts; its index must be below the count.
std::uint64_t PathPosition(const SourceEntry& entry) {
  return gFile.stringPool + Get32(gFile.stringOffsets + std::uint64_t{4} * entry.pathIndex);
}

// Checks, before any entry is used, everything the walk will read for the
// entries with text, so that a bad file never yields a partial result.
void CheckEntries() {
  for (std::uint32_t index = 0; index < gFile.entryCount; ++index) {
    const SourceEntry entry = EntryAt(index);
    if (entry.textSize == 0) continue;
    if (entry.pathIndex >= gFile.stringCount) FailForEntry("Bad path index", index);
    const std::uint64_t path = PathPosition(entry);
    if (path >= gFile.size) FailForEntry("Bad path offset", index);
    if (std::memchr(gFile.image + path, 0, gFile.size - path) == nullptr)
      FailForEntry("Unterminated path", index);
    if (!Fits(std::uint64_t{gFile.textPool} + entry.textOffset, entry.textSize))
      FailForEntry("Bad text offset or size", index);
  }
}

std::vector<char> ReadPipeToEnd(platform::FileHandle file) {
  std::vector<char> contents;
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  for (;;) {
    const std::size_t used = contents.size();
    contents.resize(used + kChunk);
    const auto got = platform::ReadSome(file, contents.data() + used, kChunk);
    if (!got) FailWith("Couldn't read .nms file");
    contents.resize(used + *got);
    if (*got == 0) return contents;
    if (contents.size() > kLargestNmsFile) FailWith("Error getting .nms file size");
  }
}

// Reads the whole file into one block, kept for the whole run; a pipe is
// read to its end. The size is known to fit in 32 bits.
std::string_view ReadWholeFile(platform::FileHandle file, unsigned threadsBeside) {
  if (platform::IsPipe(file)) {
    static std::vector<char> contents;
    contents = ReadPipeToEnd(file);
    return {contents.data(), contents.size()};
  }
  const auto fileSize = platform::FileSize(file);
  if (!fileSize || *fileSize > kLargestNmsFile) FailWith("Error getting .nms file size");
  const auto size = static_cast<std::size_t>(*fileSize);
  auto* block = static_cast<char*>(platform::AllocateBlock(size));
  if (block == nullptr) FailWith("Couldn't get mem to load .nms file");
  if (!platform::ReadWholeRegularFile(file, block, size, threadsBeside))
    FailWith("Couldn't read .nms file");
  return {block, size};
}

}  // namespace

void LoadNmsImage(const char* image, std::uint32_t size) {
  gFile = SymbolFile{};
  gFile.image = reinterpret_cast<const unsigned char*>(image);
  gFile.size = size;
  const SectionOffsets sections = CheckHeaderAndTags();
  LocateStrings(sections.sttb);
  LocateSourceTable(sections.symd);
  LocateTextPool(sections.srcp);
  CheckEntries();
}

void LoadNmsFile(const char* path, unsigned threadsBeside) {
  const platform::FileHandle file = platform::OpenForReading(path);
  if (file == platform::kNoFile) {
    const app::SysErrorText error;
    app::FailWithSystemError("Error %d. (%s) opening file '%s'\n", error, path);
  }
  const std::string_view image = ReadWholeFile(file, threadsBeside);
  platform::Close(file);
  LoadNmsImage(image.data(), static_cast<std::uint32_t>(image.size()));
}

std::uint32_t SourceCount() { return gFile.entryCount; }

std::uint32_t LoadedSize() { return gFile.size; }

std::optional<StoredSource> SourceAt(std::size_t index) {
  const SourceEntry entry = EntryAt(static_cast<std::uint32_t>(index));
  if (entry.textSize == 0) return std::nullopt;
  const char* image = reinterpret_cast<const char*>(gFile.image);
  return StoredSource{image + PathPosition(entry), entry.textSize,
                      image + gFile.textPool + entry.textOffset};
}

const char* BuildPath(const char* stored, std::string& buffer) {
  buffer.clear();
  if (SrcBaseDir != nullptr && stored[0] == '.') buffer = SrcBaseDir;
  buffer += stored;
  return buffer.c_str();
}

void ForEachSource(SourceVisitor visitor, std::size_t first) {
  std::string path;  // the reader's path buffer, reused from entry to entry
  for (std::size_t index = first; index < gFile.entryCount; ++index) {
    const std::optional<StoredSource> source = SourceAt(index);
    if (!source) continue;
    if (visitor(BuildPath(source->path, path), source->size, source->text) == 0) {
      app::Print(platform::Stream::Output, "Error; aborting\n");
      return;
    }
  }
}

}  // namespace nms

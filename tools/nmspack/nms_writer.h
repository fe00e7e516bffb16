// Builds .nms images in memory, in the layout the reader expects, and tells
// where each structure landed so that tests can corrupt exactly one field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nmswriter {

struct Source {
  std::string path;  // as stored, with backslashes
  std::string text;  // empty: an entry that holds no text
};

// File offsets of the structures of a built image.
struct Layout {
  std::uint32_t directory = 0;
  std::uint32_t gtyp = 0;
  std::uint32_t sttb = 0;
  std::uint32_t stringOffsets = 0;
  std::uint32_t stringPool = 0;
  std::uint32_t symd = 0;
  std::uint32_t sourceTable = 0;
  std::uint32_t firstEntry = 0;
  std::uint32_t srcp = 0;
  std::uint32_t textPool = 0;
  std::uint32_t Entry(std::size_t index) const {
    return firstEntry + static_cast<std::uint32_t>(20 * index);
  }
};

// Field offsets within a source entry.
inline constexpr std::uint32_t kEntryPathIndex = 0;
inline constexpr std::uint32_t kEntryTextOffset = 4;
inline constexpr std::uint32_t kEntryTextSize = 8;

// A complete image holding `sources` in order. The string table starts with
// one string that no entry uses, so path indices differ from entry numbers.
// Equal texts of 1 MiB or more are stored once. The directory ends the
// image, or, where `textsLast`, stands before the texts, so that the last
// text ends at the image's last byte.
std::string BuildNms(const std::vector<Source>& sources, Layout* layout = nullptr,
                     bool textsLast = false);

void Put32(std::string& image, std::size_t offset, std::uint32_t value);

}  // namespace nmswriter

#include "bad_images.h"

#include <functional>

#include "nms_writer.h"

namespace nmstest {

using nmswriter::BuildNms;
using nmswriter::kEntryPathIndex;
using nmswriter::kEntryTextOffset;
using nmswriter::kEntryTextSize;
using nmswriter::Layout;
using nmswriter::Put32;
using nmswriter::Source;

namespace {

const std::vector<Source> kSources = {
    {"..\\src\\a.c", "int a;\n"}, {"empty.h", ""}, {"d:\\src\\b.c", "b"}};
constexpr std::uint32_t kStringCount = 4;  // the unused first string and three paths

std::string Mismatch(const char* tag, const char* found) {
  return std::string("ERROR: expecting '") + tag + "' but found " + found +
         "h\nUnrecognized file format";
}

// Appends a section of `length` bytes that starts with `tag` and lets the
// directory point at it, so that the section runs up to the end of the file.
void PointAtTail(std::string& image, const Layout& at, std::uint32_t directoryField,
                 const char* tag, std::size_t length) {
  const auto tail = static_cast<std::uint32_t>(image.size());
  image += std::string(tag).append(length - 4, 'x');
  Put32(image, at.directory + directoryField, tail);
}

// How many string offsets fit between the table's start and the end of file.
std::uint32_t RoomForStrings(const std::string& image, const Layout& at) {
  return static_cast<std::uint32_t>((image.size() - at.stringOffsets) / 4);
}

using Damage = std::function<void(std::string& image, const Layout& at)>;

struct Case {
  const char* name;
  Damage damage;
  std::string expected;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      // The checks that have always been made, in their order.
      {"empty file", [](auto& image, auto&) { image.clear(); },
       ".nms file does not have NM32 signature"},
      {"shorter than the signature", [](auto& image, auto&) { image = "NM3"; },
       ".nms file does not have NM32 signature"},
      {"wrong signature", [](auto& image, auto&) { image[3] = '3'; },
       ".nms file does not have NM32 signature"},
      {"bad signature reported before bad directory offset",
       [](auto& image, auto&) {
         image[0] = 'X';
         Put32(image, 12, 0xFFFFFFFF);
       },
       ".nms file does not have NM32 signature"},
      {"directory offset at the end of the file",
       [](auto& image, auto&) { Put32(image, 12, static_cast<std::uint32_t>(image.size())); },
       "Unexpected NMDR offset value in .nms file"},
      {"directory offset 0xFFFFFFFF", [](auto& image, auto&) { Put32(image, 12, 0xFFFFFFFF); },
       "Unexpected NMDR offset value in .nms file"},
      {"directory tag wrong", [](auto& image, auto& at) { image[at.directory] = 'X'; },
       Mismatch("NMDR", "52444D58")},
      {"GTYP tag wrong", [](auto& image, auto& at) { image[at.gtyp] = 'g'; },
       Mismatch("GTYP", "50595467")},
      {"STTB tag wrong", [](auto& image, auto& at) { Put32(image, at.sttb, 0); },
       Mismatch("STTB", "00000000")},
      {"SYMD tag wrong", [](auto& image, auto& at) { Put32(image, at.symd, 0xFFFFFFFF); },
       Mismatch("SYMD", "FFFFFFFF")},
      {"SRCP tag wrong", [](auto& image, auto& at) { image[at.srcp + 3] = 'Q'; },
       Mismatch("SRCP", "51435253")},
      {"tags are checked in order",
       [](auto& image, auto& at) {
         image[at.srcp] = 'x';
         image[at.sttb] = 'x';
       },
       Mismatch("STTB", "42545478")},

      // What the reader checks besides, so that nothing is read outside the file.
      {"header cut before the directory offset", [](auto& image, auto&) { image.resize(14); },
       "Truncated header in .nms file"},
      {"directory starts three bytes before the end",
       [](auto& image, auto&) { Put32(image, 12, static_cast<std::uint32_t>(image.size() - 3)); },
       "Unexpected NMDR offset value in .nms file"},
      {"directory cut after its GTYP field",
       [](auto& image, auto& at) { image.resize(at.directory + 12); },
       "Truncated NMDR directory in .nms file"},
      {"GTYP offset past the end",
       [](auto& image, auto& at) {
         Put32(image, at.directory + 8, static_cast<std::uint32_t>(image.size()));
       },
       "Unexpected GTYP offset value in .nms file"},
      {"STTB offset wraps around",
       [](auto& image, auto& at) { Put32(image, at.directory + 12, 0xFFFFFFFE); },
       "Unexpected STTB offset value in .nms file"},
      {"SYMD offset two bytes before the end",
       [](auto& image, auto& at) {
         Put32(image, at.directory + 16, static_cast<std::uint32_t>(image.size() - 2));
       },
       "Unexpected SYMD offset value in .nms file"},
      {"SRCP offset 0xFFFFFFFF",
       [](auto& image, auto& at) { Put32(image, at.directory + 20, 0xFFFFFFFF); },
       "Unexpected SRCP offset value in .nms file"},
      {"STTB section cut short",
       [](auto& image, auto& at) { PointAtTail(image, at, 12, "STTB", 19); },
       "Truncated STTB section in .nms file"},
      {"SYMD section cut short",
       [](auto& image, auto& at) { PointAtTail(image, at, 16, "SYMD", 11); },
       "Truncated SYMD section in .nms file"},
      {"SRCP section cut short",
       [](auto& image, auto& at) { PointAtTail(image, at, 20, "SRCP", 11); },
       "Truncated SRCP section in .nms file"},
      {"string count past the end",
       [](auto& image, auto& at) { Put32(image, at.sttb + 8, 0xFFFFFFFF); },
       "Unexpected string count value in .nms file"},
      // The boundary pair: offsets that fill the file exactly pass the count
      // check (and then point past the end); one more does not.
      {"string count whose offsets fill the file exactly",
       [](auto& image, auto& at) { Put32(image, at.sttb + 8, RoomForStrings(image, at)); },
       "Bad path offset in source entry 0 of .nms file"},
      {"string count one past the room of the file",
       [](auto& image, auto& at) { Put32(image, at.sttb + 8, RoomForStrings(image, at) + 1); },
       "Unexpected string count value in .nms file"},
      {"string count whose table size wraps around 32 bits",
       [](auto& image, auto& at) { Put32(image, at.sttb + 8, 0x40000001); },
       "Unexpected string count value in .nms file"},
      {"source table past the end",
       [](auto& image, auto& at) {
         Put32(image, at.symd + 8, static_cast<std::uint32_t>(image.size() - 7));
       },
       "Unexpected source table offset value in .nms file"},
      {"first entry offset wraps around",
       [](auto& image, auto& at) { Put32(image, at.sourceTable, 0xFFFFFFFF); },
       "Unexpected source entry offset or count value in .nms file"},
      {"entry count past the end",
       [](auto& image, auto& at) { Put32(image, at.sourceTable + 4, 0xFFFFFFFF); },
       "Unexpected source entry offset or count value in .nms file"},
      {"entry count whose table size wraps around 32 bits",
       [](auto& image, auto& at) { Put32(image, at.sourceTable + 4, 0x0CCCCCCD); },
       "Unexpected source entry offset or count value in .nms file"},
      {"path index equal to the string count",
       [](auto& image, auto& at) { Put32(image, at.Entry(0) + kEntryPathIndex, kStringCount); },
       "Bad path index in source entry 0 of .nms file"},
      {"path index 0xFFFFFFFF",
       [](auto& image, auto& at) { Put32(image, at.Entry(2) + kEntryPathIndex, 0xFFFFFFFF); },
       "Bad path index in source entry 2 of .nms file"},
      {"string offset past the end",
       [](auto& image, auto& at) { Put32(image, at.stringOffsets + 4 * 3, 0xFFFFFFF0); },
       "Bad path offset in source entry 2 of .nms file"},
      {"path not terminated before the end",
       [](auto& image, auto& at) {
         image += "tail";
         Put32(image, at.stringOffsets + 4,
               static_cast<std::uint32_t>(image.size() - 4 - at.stringPool));
       },
       "Unterminated path in source entry 0 of .nms file"},
      {"text one byte past the end",
       [](auto& image, auto& at) {
         const auto end = static_cast<std::uint32_t>(image.size()) - at.textPool;
         Put32(image, at.Entry(2) + kEntryTextOffset, end);
       },
       "Bad text offset or size in source entry 2 of .nms file"},
      {"text size 0xFFFFFFFF",
       [](auto& image, auto& at) { Put32(image, at.Entry(0) + kEntryTextSize, 0xFFFFFFFF); },
       "Bad text offset or size in source entry 0 of .nms file"},
      {"text offset plus size wraps around 32 bits",
       [](auto& image, auto& at) {
         Put32(image, at.Entry(0) + kEntryTextOffset, 0xFFFFFFFF);
         Put32(image, at.Entry(0) + kEntryTextSize, 2);
       },
       "Bad text offset or size in source entry 0 of .nms file"},
      {"text pool past the end",
       [](auto& image, auto& at) { Put32(image, at.srcp + 8, 0xFFFFFFF0); },
       "Bad text offset or size in source entry 0 of .nms file"},
  };
  return cases;
}

}  // namespace

std::vector<BadImage> BadImages() {
  std::vector<BadImage> images;
  for (const Case& damage : Cases()) {
    Layout at;
    std::string image = BuildNms(kSources, &at);
    damage.damage(image, at);
    images.push_back({damage.name, image, damage.expected});
  }
  return images;
}

}  // namespace nmstest

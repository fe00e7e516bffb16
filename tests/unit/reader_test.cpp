#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bad_images.h"
#include "nms_writer.h"
#include "nmsfile/nmsfile.h"
#include "unwinding_end.h"

namespace {

using nmswriter::BuildNms;
using nmswriter::Layout;
using nmswriter::Put32;

struct Visit {
  std::string path;
  std::string text;
  bool operator==(const Visit&) const = default;
};

std::vector<Visit> gVisits;

int Record(const char* path, std::uint32_t size, const char* text) {
  gVisits.push_back({path, std::string(text, size)});
  return 1;
}

int StopAtOnce(const char*, std::uint32_t, const char*) { return 0; }

// Images must outlive the walk: the reader keeps a pointer into them.
std::vector<Visit> Walk(const std::string& image, const char* baseDir = nullptr) {
  static std::vector<std::string> keptImages;
  keptImages.push_back(image);
  nms::SrcBaseDir = baseDir;
  nms::LoadNmsImage(keptImages.back().data(), static_cast<std::uint32_t>(image.size()));
  gVisits.clear();
  nms::ForEachSource(Record);
  return gVisits;
}

TEST(Reader, WalksEntriesWithTextInStoredOrder) {
  const std::string image = BuildNms(
      {{"..\\src\\a.c", "int a;\n"}, {"empty.h", ""}, {"d:\\src\\b.c", std::string("b\0\r\n", 4)}});
  EXPECT_EQ(Walk(image), (std::vector<Visit>{{"..\\src\\a.c", "int a;\n"},
                                             {"d:\\src\\b.c", std::string("b\0\r\n", 4)}}));
}

TEST(Reader, AnEmptySourceTableIsValid) { EXPECT_TRUE(Walk(BuildNms({})).empty()); }

TEST(Reader, BaseDirectoryPrefixesOnlyPathsThatStartWithAFullStop) {
  const std::string image =
      BuildNms({{"..\\src\\a.c", "a"}, {".\\b.c", "b"}, {"d:\\src\\c.c", "c"}});
  const auto paths = [](const std::vector<Visit>& visits) {
    std::vector<std::string> result;
    for (const Visit& visit : visits) result.push_back(visit.path);
    return result;
  };
  EXPECT_EQ(
      paths(Walk(image, "d:\\work\\")),
      (std::vector<std::string>{"d:\\work\\..\\src\\a.c", "d:\\work\\.\\b.c", "d:\\src\\c.c"}));
  EXPECT_EQ(paths(Walk(image, "d:\\work")),
            (std::vector<std::string>{"d:\\work..\\src\\a.c", "d:\\work.\\b.c", "d:\\src\\c.c"}));
  EXPECT_EQ(paths(Walk(image, "")),
            (std::vector<std::string>{"..\\src\\a.c", ".\\b.c", "d:\\src\\c.c"}));
  const std::string longBase = "d:\\" + std::string(400, 'w') + "\\";
  EXPECT_EQ(paths(Walk(image, longBase.c_str()))[0], longBase + "..\\src\\a.c");
}

TEST(Reader, EntriesWithoutTextAreNeverChecked) {
  Layout at;
  std::string image = BuildNms({{"a.c", "a"}, {"gone.c", ""}}, &at);
  Put32(image, at.Entry(1) + nmswriter::kEntryPathIndex, 0xFFFFFFFF);
  Put32(image, at.Entry(1) + nmswriter::kEntryTextOffset, 0xFFFFFFFF);
  EXPECT_EQ(Walk(image), (std::vector<Visit>{{"a.c", "a"}}));
}

TEST(Reader, TextEndingExactlyAtTheEndOfTheFileIsValid) {
  Layout at;
  std::string image = BuildNms({{"a.c", "abc"}}, &at);
  image += "xyz";
  Put32(image, at.Entry(0) + nmswriter::kEntryTextOffset,
        static_cast<std::uint32_t>(image.size() - 3 - at.textPool));
  EXPECT_EQ(Walk(image), (std::vector<Visit>{{"a.c", "xyz"}}));
}

TEST(Reader, AVisitorThatStopsEndsTheWalkWithAMessage) {
  static const std::string image = BuildNms({{"a.c", "a"}, {"b.c", "b"}});
  nms::SrcBaseDir = nullptr;
  nms::LoadNmsImage(image.data(), static_cast<std::uint32_t>(image.size()));
  testing::internal::CaptureStdout();
  nms::ForEachSource(StopAtOnce);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error; aborting\n");
}

TEST(Reader, EveryKindOfDamageEndsWithItsMessageAndStatus1) {
  for (const nmstest::BadImage& bad : nmstest::BadImages()) {
    SCOPED_TRACE(bad.name);
    testing::internal::CaptureStdout();
    int status = -1;
    try {
      nms::LoadNmsImage(bad.image.data(), static_cast<std::uint32_t>(bad.image.size()));
    } catch (const nmstest::ProcessEnded& ended) {
      status = ended.status;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), bad.expectedStdout);
    EXPECT_EQ(status, 1);
  }
}

}  // namespace

// The list screen, and how the reader's failures reach the user.
#include <sys/stat.h>

#include "bad_images.h"
#include "fixture.h"

namespace e2e {
namespace {

const std::string kListHeadings =
    "Bytes  Pathname\n------ --------------------------------------\n";

using List = Scratch;

TEST_F(List, ShowsStoredPathsAndSizesAndHidesEntriesWithoutText) {
  WriteNms("app.nms", {{"..\\src\\main.c", "int main(void) { return 0; }\r\n"},
                       {"..\\src\\none.h", ""},
                       {"d:\\big\\table.c", std::string(1234567, 't')},
                       {"x.c", "x"}});
  const std::string listing = kListHeadings +
                              "    30 ..\\src\\main.c\n"
                              "1234567 d:\\big\\table.c\n"
                              "     1 x.c\n";
  ExpectOutcome(Quarrow({"list", "app.nms"}), listing, 0);
  // List reads no switches: neither a base directory nor an unknown switch counts.
  ExpectOutcome(Quarrow({"list", "app.nms", "/SrcBaseDir=x:\\", "/Bogus", "more"}), listing, 0);
}

TEST_F(List, AnEmptySourceTableShowsOnlyTheHeadings) {
  WriteNms("empty.nms", {});
  ExpectOutcome(Quarrow({"list", "empty.nms"}), kListHeadings, 0);
}

TEST_F(List, BackslashesInTheNmsPathWork) {
  WriteNms("sub/app.nms", {{"a.c", "abc"}});
  ExpectOutcome(Quarrow({"list", "sub\\app.nms"}), kListHeadings + "     3 a.c\n", 0);
}

TEST_F(List, FilesThatCannotBeOpenedAreReportedWithTheSystemError) {
  std::filesystem::create_directory(folder_ / "folder.nms");
  const struct {
    const char* path;
    SystemError error;
  } kCases[] = {{"missing.nms", SystemError::FileNotFound},
                {"nowhere\\app.nms", SystemError::PathNotFound},
                {"folder.nms", SystemError::OpenDirectory}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    ExpectOutcome(Quarrow({"list", c.path}),
                  "Error " + ErrorPart(c.error) + " opening file '" + c.path + "'\n", 1);
  }
}

TEST_F(List, AFileOver4GiBIsASizeFailureNeverTruncated) {
  // Cut to 32 bits its size would be that of the valid image at its start.
  const std::string image = nmswriter::BuildNms({{"a.c", "a"}});
  Write("huge.nms", image);
  std::filesystem::resize_file(folder_ / "huge.nms", (std::uintmax_t{1} << 32) + image.size());
  ExpectOutcome(Quarrow({"list", "huge.nms"}), "Error getting .nms file size", 1);
}

TEST_F(List, EveryKindOfDamageIsReportedAndNothingIsListed) {
  for (const nmstest::BadImage& bad : nmstest::BadImages()) {
    SCOPED_TRACE(bad.name);
    Write("bad.nms", bad.image);
    ExpectOutcome(Quarrow({"list", "bad.nms"}), bad.expectedStdout, 1);
  }
}

TEST_F(List, APipeIsReadToItsEnd) {
  if (OnWindowsLane()) GTEST_SKIP() << "a shell pipe is a Linux matter";
  WriteNms("app.nms", {{"a.c", std::string(3 << 20, 'a')}, {"b.c", "b"}});
  const Outcome outcome = RunShell("cat app.nms | \"$QUARROW\" list /dev/stdin", folder_.string());
  ExpectOutcome(outcome, kListHeadings + "3145728 a.c\n     1 b.c\n", 0);
}

// A full device, and a file-size limit with its signal at the default that
// would end the run: every command's write fails, and says so.
TEST_F(List, OutputThatCannotBeWrittenIsNoSuccess) {
  if (OnWindowsLane()) GTEST_SKIP() << "/dev/full and file-size limits are Linux matters";
  std::vector<nmswriter::Source> many;
  for (int index = 0; index < 1000; ++index)
    many.push_back({"src\\file" + std::to_string(index) + ".c", "a"});
  WriteNms("app.nms", many);
  for (const char* command :
       {"\"$QUARROW\" list app.nms > /dev/full",
        "trap - XFSZ; ulimit -f 8; exec \"$QUARROW\" list app.nms > out",
        "trap - XFSZ; ulimit -f 8; exec \"$QUARROW\" compare app.nms > out"}) {
    const Outcome outcome = RunShell(command, folder_.string());
    EXPECT_EQ(outcome.status, 1) << command;
    EXPECT_TRUE(outcome.err.ends_with("\nError writing to standard output\n")) << command;
  }
}

TEST_F(List, AFifoWithoutAWriterDoesNotHang) {
  if (OnWindowsLane()) GTEST_SKIP() << "FIFOs are a Linux matter";
  ASSERT_EQ(mkfifo((folder_ / "fifo.nms").c_str(), 0600), 0);
  ExpectOutcome(Quarrow({"list", "fifo.nms"}), ".nms file does not have NM32 signature", 1);
}

}  // namespace
}  // namespace e2e

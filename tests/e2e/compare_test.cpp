// The compare report over a small tree of same, changed and missing files.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "fixture.h"

namespace e2e {
namespace {

std::string Line(const std::string& word, const std::string& path) {
  return std::string(22 - word.size(), ' ') + word + " " + path + "\n";
}

class Compare : public Scratch {
 protected:
  // Held texts under ..\src\ and their disk copies under tree\src\, looked at
  // from tree\build\ through /SrcBaseDir.
  void SetUp() override {
    Scratch::SetUp();
    std::filesystem::create_directories(folder_ / "tree/build");
    Write("tree/src/same.c", "int same;\n");
    Write("tree/src/changed.c", "int changed = 2;\n");
    Write("tree/src/longer.c", "int longer;\nx");
    Write("tree/src/crlf.c", "a\nb\n");
    WriteNms("app.nms", {{"..\\src\\same.c", "int same;\n"},
                         {"..\\src\\changed.c", "int changed = 1;\n"},
                         {"..\\src\\longer.c", "int longer;\n"},
                         {"..\\src\\crlf.c", "a\r\nb\r\n"},
                         {"..\\src\\gone.c", "gone"},
                         {"..\\nodir\\x.c", "x"}});
  }
};

const char* const kBase = "tree\\build\\";

TEST_F(Compare, ReportsEveryEntryWithItsStatusWord) {
  const std::string b = kBase;
  const std::string report =
      Line("same", b + "..\\src\\same.c") + Line("DIFFERENT", b + "..\\src\\changed.c") +
      Line("DIFFERENT", b + "..\\src\\longer.c") + Line("DIFFERENT", b + "..\\src\\crlf.c") +
      Line("FILE/PATH_NOT_FOUND!", b + "..\\src\\gone.c") +
      Line("FILE/PATH_NOT_FOUND!", b + "..\\nodir\\x.c");
  ExpectOutcome(Quarrow({"compare", "app.nms", "/SrcBaseDir=tree\\build\\"}), report, 0);
  // Only the first line goes with /Quiet; switches match in any case and order.
  ExpectOutcome(Quarrow({"COMPARE", "app.nms", "/srcbasedir=tree\\build\\", "/QUIET"}),
                report.substr(report.find('\n') + 1), 0);
}

// Files are read in pieces of 1 MiB (and written out in pieces of 1 MiB on
// Windows): at and around the piece's size, each byte counts, the first and
// the last, and an extracted file holds every byte.
TEST_F(Compare, LargeFilesAreComparedFromTheirFirstByteToTheirLast) {
  std::string text;
  for (int line = 0; text.size() < (std::size_t{2} << 20) + 1; ++line)
    text += std::to_string(line) + "\n";
  for (const std::size_t size : {(std::size_t{1} << 20) - 1, std::size_t{1} << 20,
                                 (std::size_t{1} << 20) + 1, (std::size_t{2} << 20) + 1}) {
    SCOPED_TRACE(size);
    const std::string held = text.substr(0, size);
    std::string changedFirst = held, changedLast = held;
    changedFirst[0] ^= 1;
    changedLast[size - 1] ^= 1;
    Write("big/same.c", held);
    Write("big/first.c", changedFirst);
    Write("big/last.c", changedLast);
    WriteNms("big.nms", {{"big\\same.c", held}, {"big\\first.c", held}, {"big\\last.c", held}});
    ExpectOutcome(Quarrow({"compare", "big.nms"}),
                  Line("same", "big\\same.c") + Line("DIFFERENT", "big\\first.c") +
                      Line("DIFFERENT", "big\\last.c"),
                  0);
    std::filesystem::remove_all(folder_ / "out");
    std::filesystem::create_directory(folder_ / "out");
    EXPECT_EQ(Quarrow({"extract", "big.nms", "/OutDir=out\\"}).status, 0);
    EXPECT_TRUE(Read("out/last.c") == held);
  }
}

// A .nms file of 64 MiB + 1 byte is read in parts by two threads, where two
// CPUs are granted; its last text ends at its last byte, which no rounding
// of the parts may leave out. Compare and extract see every byte of it.
TEST_F(Compare, ALargeNmsFileIsReadToItsLastByte) {
  const std::string stored = "big\\last.c";
  const std::size_t image = (std::size_t{64} << 20) + 1;
  std::string text(image - nmswriter::BuildNms({{stored, ""}}, nullptr, true).size(), ' ');
  for (std::size_t at = 0; at < text.size(); ++at) text[at] = static_cast<char>('a' + at % 26);
  Write("big.nms", nmswriter::BuildNms({{stored, text}}, nullptr, true));
  ASSERT_EQ(std::filesystem::file_size(folder_ / "big.nms"), image);
  Write("big/last.c", text);
  ExpectOutcome(Quarrow({"compare", "big.nms"}), Line("same", stored), 0);
  std::filesystem::create_directory(folder_ / "out");
  ExpectOutcome(Quarrow({"extract", "big.nms", "/OutDir=out\\"}),
                "Bytes  Filename\n------ --------------------------------------\n" +
                    std::to_string(text.size()) + " last.c -- extracted to out\\\n",
                0);
  EXPECT_TRUE(Read("out/last.c") == text);
}

// A file decided by its size alone is closed too: thousands of them pass
// under a limit of a few dozen open files.
TEST_F(Compare, EveryFileIsClosedWhateverItsOutcome) {
  if (OnWindowsLane()) GTEST_SKIP() << "a descriptor limit is a Linux matter";
  std::vector<nmswriter::Source> sources;
  std::string report;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "many/" + std::to_string(i) + ".c";
    Write(name, i % 2 == 0 ? "longer than held" : "same");
    sources.push_back({"many\\" + std::to_string(i) + ".c", "same"});
    if (i % 2 == 0) report += Line("DIFFERENT", sources.back().path);
  }
  WriteNms("many.nms", sources);
  ExpectOutcome(
      RunShell("ulimit -n 32 && exec \"$QUARROW\" compare many.nms /quiet", folder_.string()),
      report, 0);
}

// A file that gives fewer bytes than its size says (as files of /sys do)
// does not hold the text, whatever came.
TEST_F(Compare, AFileShorterThanItsSizeIsDifferent) {
  const char* const kSysFile = "/sys/devices/system/cpu/online";
  std::error_code error;
  const auto reported = std::filesystem::file_size(kSysFile, error);
  if (error || reported == 0) GTEST_SKIP() << "no such file here";
  std::string held(reported, 'x');
  WriteNms("sys.nms", {{"\\sys\\devices\\system\\cpu\\online", held}});
  ExpectOutcome(Quarrow({"compare", "sys.nms"}),
                Line("DIFFERENT", "\\sys\\devices\\system\\cpu\\online"), 0);
}

TEST_F(Compare, AllSameAndQuietPrintsNothing) {
  WriteNms("same.nms", {{"tree\\src\\same.c", "int same;\n"}, {"tree\\src\\crlf.c", "a\nb\n"}});
  ExpectOutcome(Quarrow({"compare", "same.nms", "/quiet"}), "", 0);
}

TEST_F(Compare, TheBaseDirectoryIsAPlainPrefixForDottedPathsOnly) {
  WriteNms("mixed.nms", {{"..\\src\\same.c", "int same;\n"}, {"tree\\src\\same.c", "int same;\n"}});
  ExpectOutcome(Quarrow({"compare", "mixed.nms", "/SrcBaseDir=tree\\build"}),
                Line("FILE/PATH_NOT_FOUND!", "tree\\build..\\src\\same.c") +
                    Line("same", "tree\\src\\same.c"),
                0);
  // Without /SrcBaseDir (or with it empty) a relative path starts at the working directory.
  const std::string unprefixed =
      Line("FILE/PATH_NOT_FOUND!", "..\\src\\same.c") + Line("same", "tree\\src\\same.c");
  ExpectOutcome(Quarrow({"compare", "mixed.nms"}), unprefixed, 0);
  ExpectOutcome(Quarrow({"compare", "mixed.nms", "/SrcBaseDir"}), unprefixed, 0);
}

TEST_F(Compare, SwitchErrorsStopTheRunBeforeTheFileIsRead) {
  const struct {
    const char* argument;
    const char* named;
  } kCases[] = {{"/Quite", "/Quite"}, {"/Q", "/Q"}, {"/OutDir=x", "/OutDir"}, {"/", "/"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.argument);
    ExpectOutcome(Quarrow({"compare", "absent.nms", "/quiet", c.argument}), "", 1,
                  std::string("Unknown switch '") + c.named + "'\n");
  }
}

TEST_F(Compare, AnOpenFailureOtherThanNotFoundEndsTheRun) {
  const std::string longName = "tree\\src\\" + std::string(300, 'n') + ".c";
  WriteNms("long.nms",
           {{"tree\\src\\same.c", "int same;\n"}, {longName, "x"}, {"tree\\src\\crlf.c", "x"}});
  // A name longer than a file system allows. Windows, asked in the long
  // form, finds no such file (so Wine; Windows itself may call it invalid).
  if (OnWindowsLane())
    ExpectOutcome(Quarrow({"compare", "long.nms"}),
                  Line("same", "tree\\src\\same.c") + Line("FILE/PATH_NOT_FOUND!", longName) +
                      Line("DIFFERENT", "tree\\src\\crlf.c"),
                  0);
  else
    ExpectOutcome(Quarrow({"compare", "long.nms"}),
                  Line("same", "tree\\src\\same.c") +
                      "ERROR 36. (File name too long) opening file '" + longName + "'\n",
                  1);

  WriteNms("folder.nms", {{"tree\\src", "x"}, {"tree\\src\\same.c", "int same;\n"}});
  ExpectOutcome(Quarrow({"compare", "folder.nms"}),
                "ERROR " + ErrorPart(SystemError::OpenDirectory) + " opening file 'tree\\src'\n",
                1);
}

// Past the 260 characters of the ANSI calls on Windows: the .nms file, the
// files compared and the files extracted, through a folder path of 300.
TEST_F(Compare, PathsOfAnyLengthWorkForEveryCommand) {
  const std::string deep =
      std::string(99, 'd') + "\\" + std::string(99, 'e') + "\\" + std::string(100, 'f');
  std::string deepOnDisk = deep;
  std::replace(deepOnDisk.begin(), deepOnDisk.end(), '\\', '/');
  Write(deepOnDisk + "/same.c", "int same;\n");
  WriteNms(deepOnDisk + "/deep.nms",
           {{deep + "\\same.c", "int same;\n"}, {deep + "\\gone.c", "x"}});
  ExpectOutcome(Quarrow({"compare", deep + "\\deep.nms"}),
                Line("same", deep + "\\same.c") + Line("FILE/PATH_NOT_FOUND!", deep + "\\gone.c"),
                0);
  ExpectOutcome(Quarrow({"extract", deep + "\\deep.nms", "/Different", "/OutDir=" + deep + "\\"}),
                "Bytes  Filename\n------ --------------------------------------\n"
                "WARNING -- file '" +
                    deep + "\\gone.c' not found, so it too might be different\n",
                0);
  WriteNms("new.nms", {{"src\\new.c", "new\n"}});
  ExpectOutcome(Quarrow({"extract", "new.nms", "/OutDir=" + deep + "\\"}),
                "Bytes  Filename\n------ --------------------------------------\n"
                "     4 new.c -- extracted to " +
                    deep + "\\\n",
                0);
  EXPECT_EQ(Read(deepOnDisk + "/new.c"), "new\n");
}

TEST_F(Compare, ALinkLoopIsAnOpenFailure) {
  std::filesystem::create_symlink("loop.c", folder_ / "loop.c");
  WriteNms("loop.nms", {{"loop.c", "x"}});
  ExpectOutcome(Quarrow({"compare", "loop.nms"}),
                "ERROR " + ErrorPart(SystemError::LinkLoop) + " opening file 'loop.c'\n", 1);
}

TEST_F(Compare, ADiskFileOver4GiBIsDifferentNotComparedOnATruncatedSize) {
  // A held "\0" against a sparse file of 4 GiB and one zero byte: a 32-bit
  // size would see one byte and find them equal.
  std::ofstream(folder_ / "huge.c").close();
  std::filesystem::resize_file(folder_ / "huge.c", (std::uintmax_t{1} << 32) + 1);
  WriteNms("huge.nms", {{"huge.c", std::string(1, '\0')}});
  ExpectOutcome(Quarrow({"compare", "huge.nms"}), Line("DIFFERENT", "huge.c"), 0);
}

// Only regular files are opened: devices, FIFOs, sockets and links to them
// are not found. A FIFO's writer, waiting for a reader's open, still waits.
TEST_F(Compare, SpecialFilesAreNotFoundAndNeverOpened) {
  if (OnWindowsLane()) GTEST_SKIP() << "FIFOs and devices are a Linux matter";
  ASSERT_EQ(mkfifo((folder_ / "fifo.c").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((folder_ / "waiting.c").c_str(), 0600), 0);
  const pid_t writer = fork();
  if (writer == 0) _exit(open((folder_ / "waiting.c").c_str(), O_WRONLY) < 0 ? 1 : 0);
  std::string state;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (state.find(") S ") == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::getline(std::ifstream("/proc/" + std::to_string(writer) + "/stat"), state);
  ASSERT_NE(state.find(") S "), std::string::npos) << "the writer never slept in its open";
  sockaddr_un address{AF_UNIX, {}};
  (folder_ / "socket.c").string().copy(address.sun_path, sizeof address.sun_path - 1);
  const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::filesystem::create_symlink("/dev/null", folder_ / "device-link.c");
  std::filesystem::create_symlink("fifo.c", folder_ / "fifo-link.c");
  std::vector<nmswriter::Source> sources;
  std::string report;
  for (const char* path : {"waiting.c", "\\dev\\null", "\\dev\\zero", "\\dev\\tty", "fifo.c",
                           "socket.c", "device-link.c", "fifo-link.c"}) {
    sources.push_back({path, "x"});
    report += Line("FILE/PATH_NOT_FOUND!", path);
  }
  sources.push_back({"tree\\src\\same.c", "int same;\n"});
  WriteNms("special.nms", sources);
  ExpectOutcome(Quarrow({"compare", "special.nms"}), report + Line("same", "tree\\src\\same.c"), 0);
  EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the FIFO was opened";
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  close(listening);
}

TEST_F(Compare, APathThroughAFileIsNotFound) {
  WriteNms("through.nms", {{"tree\\src\\same.c\\inner.c", "x"}});
  ExpectOutcome(Quarrow({"compare", "through.nms"}),
                Line("FILE/PATH_NOT_FOUND!", "tree\\src\\same.c\\inner.c"), 0);
}

// Stored paths that can name no source file on Windows, one for each rule
// (the rules' tables are the unit tests'): a device in any folder, the
// device namespace, the pipe and mailslot shares of any host. They are never
// opened there (the pipe's server could act as the user, a device could
// block or touch hardware); Linux has no such names.
const char* const kNoDiskFiles[] = {"src\\NUL .txt", "\\\\.\\PhysicalDrive0",
                                    "\\\\localhost\\pipe\\quarrow"};

TEST_F(Compare, DevicesPipesAndTheDeviceNamespaceAreNotFoundAndNeverOpened) {
  std::vector<nmswriter::Source> sources;
  std::string report;
  std::string warnings;
  for (const char* path : kNoDiskFiles) {
    sources.push_back({path, "x"});
    report += Line("FILE/PATH_NOT_FOUND!", path);
    warnings +=
        std::string("WARNING -- file '") + path + "' not found, so it too might be different\n";
  }
  // Look-alikes that are files, and a file after them all.
  Write("console.c", "1");
  Write("com10.c", "2");
  sources.insert(sources.end(),
                 {{"console.c", "1"}, {"com10.c", "2"}, {"tree\\src\\same.c", "int same;\n"}});
  report += Line("same", "console.c") + Line("same", "com10.c") + Line("same", "tree\\src\\same.c");
  if (OnWindowsLane()) {
    // The same file through the \\?\ form, on Wine's drive for the root.
    std::string verbatim = "\\\\?\\Z:" + folder_.string() + "/tree/src/same.c";
    std::replace(verbatim.begin(), verbatim.end(), '/', '\\');
    sources.push_back({verbatim, "int same;\n"});
    report += Line("same", verbatim);
  }
  WriteNms("devices.nms", sources);
  ExpectOutcome(Quarrow({"compare", "devices.nms"}), report, 0);
  std::filesystem::create_directory(folder_ / "out");
  ExpectOutcome(Quarrow({"extract", "devices.nms", "/Different", "/OutDir=out\\"}),
                "Bytes  Filename\n------ --------------------------------------\n" + warnings, 0);

  if (!OnWindowsLane()) return;
  // The only files asked for are the .nms file and the files that exist; threads working
  // ahead may open the files in any order.
  std::vector<std::string> opened = FilesOpenedUnderWine({"compare", "devices.nms"});
  std::sort(opened.begin() + (opened.empty() ? 0 : 1), opened.end());
  std::vector<std::string> expected{"console.c", "com10.c", "tree\\src\\same.c",
                                    sources.back().path};
  std::sort(expected.begin(), expected.end());
  expected.insert(expected.begin(), "devices.nms");
  EXPECT_EQ(opened, expected);
}

}  // namespace
}  // namespace e2e

// The extract report: files written flat into one folder, never over
// anything, only the differing ones, or one by one after a key.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "fixture.h"

namespace e2e {
namespace {

const std::string kHeadings = "Bytes  Filename\n------ --------------------------------------\n";

class Extract : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    WriteNms("app.nms", {{"..\\src\\main.c", "int main;\n"},
                         {"..\\src\\none.h", ""},
                         {"d:\\lib\\util.h", "#pragma once\r\n"}});
  }
};

TEST_F(Extract, WritesEveryTextFlatIntoTheCurrentFolderByDefault) {
  ExpectOutcome(
      Quarrow({"extract", "app.nms"}),
      kHeadings + "    10 main.c -- extracted to .\\\n    14 util.h -- extracted to .\\\n", 0);
  EXPECT_EQ(Read("main.c"), "int main;\n");
  EXPECT_EQ(Read("util.h"), "#pragma once\r\n");
  EXPECT_EQ(Files(), (std::vector<std::string>{"app.nms", "main.c", "util.h"}));
}

TEST_F(Extract, TheOutputFolderIsAPlainPrefix) {
  std::filesystem::create_directory(folder_ / "out");
  ExpectOutcome(
      Quarrow({"extract", "app.nms", "/OutDir=out\\"}),
      kHeadings + "    10 main.c -- extracted to out\\\n    14 util.h -- extracted to out\\\n", 0);
  ExpectOutcome(
      Quarrow({"extract", "app.nms", "/outdir=out"}),
      kHeadings + "    10 main.c -- extracted to out\n    14 util.h -- extracted to out\n", 0);
  ExpectOutcome(Quarrow({"extract", "app.nms", "/OutDir="}),
                kHeadings + "    10 main.c -- extracted to \n    14 util.h -- extracted to \n", 0);
  EXPECT_EQ(Files(), (std::vector<std::string>{"app.nms", "main.c", "out/main.c", "out/util.h",
                                               "outmain.c", "oututil.h", "util.h"}));
}

TEST_F(Extract, NeverWritesOverAnythingAndKeepsWhatCameBefore) {
  WriteNms("twins.nms", {{"a\\util.c", "first"}, {"b\\util.c", "second"}, {"c\\later.c", "x"}});
  ExpectOutcome(Quarrow({"extract", "twins.nms"}),
                kHeadings + "     5 util.c -- extracted to .\\\n     6 util.c ERROR " +
                    ErrorPart(SystemError::FileExists) + " opening file '.\\util.c' for write\n",
                1);
  EXPECT_EQ(Read("util.c"), "first");
  EXPECT_FALSE(Exists("later.c"));
}

TEST_F(Extract, ALinkAtTheOutputPathIsNeverFollowed) {
  if (OnWindowsLane()) GTEST_SKIP() << "links made from Linux mean nothing to Windows";
  std::filesystem::create_symlink("elsewhere/target.c", folder_ / "main.c");
  std::filesystem::create_directory(folder_ / "elsewhere");
  ExpectOutcome(Quarrow({"extract", "app.nms"}),
                kHeadings + "    10 main.c ERROR " + ErrorPart(SystemError::FileExists) +
                    " opening file '.\\main.c' for write\n",
                1);
  EXPECT_FALSE(Exists("elsewhere/target.c"));
}

TEST_F(Extract, StoredNamesCannotLeadOutsideTheOutputFolder) {
  std::filesystem::create_directories(folder_ / "deep/out");
  WriteNms("evil.nms",
           {{"a\\..\\..\\x/../../evil.sh", "echo owned\n"}, {"..\\..\\/etc/passwd", "root\n"}});
  ExpectOutcome(Quarrow({"extract", "evil.nms", "/OutDir=deep\\out\\"}),
                kHeadings +
                    "    11 evil.sh -- extracted to deep\\out\\\n"
                    "     5 passwd -- extracted to deep\\out\\\n",
                0);
  EXPECT_EQ(Files(), (std::vector<std::string>{"app.nms", "deep/out/evil.sh", "deep/out/passwd",
                                               "evil.nms"}));
  WriteNms("dots.nms", {{"sub\\..", "x"}});
  const Outcome dots = Quarrow({"extract", "dots.nms"});
  EXPECT_EQ(dots.status, 1);
  EXPECT_NE(dots.out.find("opening file '.\\..' for write"), std::string::npos) << dots.out;
}

// Names that Windows would not create as a plain file of exactly that name in
// the output folder (a device, a stream or another drive behind a colon, a
// character it forbids, trailing dots or blanks it drops) are refused there
// before anything is opened; Linux keeps every name it allows.
TEST_F(Extract, NamesWindowsWouldAlterAreRefusedThereAndKeptOnLinux) {
  // One for each rule; the rules' tables are the unit tests'.
  const char* const kRefusedOnWindows[] = {"src\\NUL.c", "C:evil.c",     "a.c:stream",  "a|b",
                                           "tab\tname",  "src\\main.c.", "src\\main.c "};
  for (const char* stored : kRefusedOnWindows) {
    SCOPED_TRACE(stored);
    const std::string name = std::string(stored).substr(std::string(stored).find_last_of('\\') + 1);
    WriteNms("one.nms", {{stored, "x"}});
    const Outcome outcome = Quarrow({"extract", "one.nms", "/OutDir="});
    if (OnWindowsLane()) {
      ExpectOutcome(outcome,
                    kHeadings + "     1 " + name + " ERROR 123. (Invalid name.) opening file '" +
                        name + "' for write\n",
                    1);
    } else {
      ExpectOutcome(outcome, kHeadings + "     1 " + name + " -- extracted to \n", 0);
      EXPECT_EQ(Read(name), "x");
      std::filesystem::remove(folder_ / name);
    }
    EXPECT_EQ(Files(), (std::vector<std::string>{"app.nms", "one.nms"}));
  }
  // Refused before any call: the program asks for nothing but its .nms file
  // (and, working ahead, a probe of the folder's, under a name of its own).
  if (OnWindowsLane()) {
    for (const char* stored : kRefusedOnWindows) {
      SCOPED_TRACE(stored);
      WriteNms("one.nms", {{stored, "x"}});
      std::vector<std::string> opened = FilesOpenedUnderWine({"extract", "one.nms", "/OutDir="});
      std::erase_if(opened, [](const std::string& name) { return name.starts_with("quarrow-"); });
      EXPECT_EQ(opened, std::vector<std::string>{"one.nms"});
    }
  }
  const char* const prefix = std::getenv("WINEPREFIX");
  const std::string driveC = std::string(prefix != nullptr ? prefix : "") + "/drive_c/";
  EXPECT_FALSE(std::filesystem::exists(driveC + "evil.c"));

  // Names like those that Windows creates as they are.
  WriteNms("fine.nms", {{"console.c", "1"},
                        {"com10.c", "2"},
                        {"COM0", "3"},
                        {"nul_.h", "4"},
                        {"lpt.c", "5"},
                        {".hidden", "6"},
                        {"a..b", "7"},
                        {"CONIN.txt", "8"}});
  const Outcome fine = Quarrow({"extract", "fine.nms", "/OutDir="});
  EXPECT_EQ(fine.status, 0) << fine.out;
  for (const char* name :
       {"console.c", "com10.c", "COM0", "nul_.h", "lpt.c", ".hidden", "a..b", "CONIN.txt"})
    EXPECT_TRUE(Exists(name)) << name;
}

// Names stored in the double-byte code pages of Japan, China and Taiwan,
// where a character's second byte can be that of \ or |, in a file's name and
// in its folder's, with plain names beside them. A run in that code page (the
// ANSI code page on Windows, the locale's code set on Linux) reads them by
// its characters: list shows each as stored, compare finds it, and extract
// gives it exactly that name. The locales are made for the run: Wine takes
// its code page from the locale's language and makes Unix names in its code
// set, UTF-8 here; Linux reads names in the code page itself.
TEST_F(Extract, NamesAreReadByTheCharactersOfTheirCodePage) {
  struct Name {
    std::string stored, utf8;  // in the code page, and in UTF-8
  };
  struct CodePage {
    std::string language, charmap;
    Name folder;
    std::vector<Name> files;
  };
  const std::vector<CodePage> codePages = {
      {"ja_JP",
       "SHIFT_JIS",
       {"\x83\x5C\x81[", "ソー"},
       {{"\x83\x5C\x81[\x83X.c", "ソース.c"},
        {"\x83\x7C\x81[\x83g.c", "ポート.c"},
        {"\x93\xFA\x96{.c", "日本.c"}}},
      {"zh_CN",
       "GBK",
       {"\x81\x5C", "乗"},
       {{"\x81\x5C\x82\x5C.c", "乗俓.c"}, {"\xD6\xD0.c", "中.c"}}},
      {"zh_TW",
       "BIG5",
       {"\xA5\x5C", "功"},
       {{"\xB3\x5C\xA5\x5C.c", "許功.c"}, {"\xA4\xA4.c", "中.c"}}},
  };
  const std::string locales = (folder_ / "locales").string();
  for (const CodePage& page : codePages) {
    SCOPED_TRACE(page.charmap);
    // The Unix names and arguments of the run: UTF-8 under Wine.
    const auto onDisk = [&](const Name& name) { return OnWindowsLane() ? name.utf8 : name.stored; };
    // Wine takes the code page from the locale's name.
    const std::string locale = page.language + "." + (OnWindowsLane() ? "UTF-8" : page.charmap);
    // localedef says 1 where it warns (Shift_JIS is no superset of ASCII).
    ASSERT_EQ(RunShell("mkdir -p " + locales + " && localedef -c -i " + page.language + " -f " +
                           locale.substr(6) + " " + locales + "/" + locale +
                           " >/dev/null 2>&1; [ $? -le 1 ]",
                       folder_.string())
                  .status,
              0);
    setenv("LOCPATH", locales.c_str(), 1);
    setenv("LC_ALL", locale.c_str(), 1);
    std::vector<nmswriter::Source> sources;
    std::string listed, compared, extracted;
    for (const Name& file : page.files) {
      const std::string stored = "src\\" + page.folder.stored + "\\" + file.stored;
      sources.push_back({stored, file.stored});  // of fewer than 10 bytes
      Write("src/" + onDisk(page.folder) + "/" + onDisk(file), file.stored);
      const std::string size = "     " + std::to_string(file.stored.size()) + " ";
      listed += size + stored + "\n";
      compared += "                  same " + stored + "\n";
      extracted += size + file.stored + " -- extracted to " + page.folder.stored + "\\out\\\n";
    }
    WriteNms("dbcs.nms", sources);
    std::filesystem::create_directories(folder_ / onDisk(page.folder) / "out");
    ExpectOutcome(Quarrow({"list", "dbcs.nms"}),
                  "Bytes  Pathname\n------ --------------------------------------\n" + listed, 0);
    ExpectOutcome(Quarrow({"compare", "dbcs.nms"}), compared, 0);
    ExpectOutcome(Quarrow({"extract", "dbcs.nms", "/OutDir=" + onDisk(page.folder) + "\\out\\"}),
                  kHeadings + extracted, 0);
    for (const Name& file : page.files)
      EXPECT_EQ(Read(onDisk(page.folder) + "/out/" + onDisk(file)), file.stored) << file.utf8;
  }
  unsetenv("LC_ALL");
  unsetenv("LOCPATH");
}

TEST_F(Extract, ExtractedFilesHoldExactlyTheHeldBytes) {
  std::string binary;
  for (int byte = 0; byte < 256; ++byte) binary += static_cast<char>(byte);
  binary += "\r\n\n\r\x1a";
  WriteNms("bytes.nms", {{"bytes.bin", binary}});
  ExpectOutcome(Quarrow({"extract", "bytes.nms"}),
                kHeadings + "   261 bytes.bin -- extracted to .\\\n", 0);
  EXPECT_EQ(Read("bytes.bin"), binary);
}

TEST_F(Extract, DifferentOnlyWritesWhatDiffersAndWarnsOfWhatIsMissing) {
  Write("src/same.c", "same\n");
  Write("src/changed.c", "old\n");
  WriteNms(
      "tree.nms",
      {{".\\src\\same.c", "same\n"}, {".\\src\\changed.c", "new\n"}, {".\\src\\gone.c", "gone\n"}});
  std::filesystem::create_directory(folder_ / "out");
  ExpectOutcome(Quarrow({"extract", "tree.nms", "/Different", "/OutDir=out\\"}),
                kHeadings +
                    "     4 changed.c -- extracted to out\\\n"
                    "WARNING -- file '.\\src\\gone.c' not found, so it too might be different\n",
                0);
  EXPECT_EQ(Read("out/changed.c"), "new\n");
  EXPECT_FALSE(Exists("out/same.c"));
  EXPECT_FALSE(Exists("out/gone.c"));
}

TEST_F(Extract, SwitchesOfOtherCommandsAreUnknown) {
  ExpectOutcome(Quarrow({"extract", "app.nms", "/Quiet"}), "", 1, "Unknown switch '/Quiet'\n");
  EXPECT_FALSE(Exists("main.c"));
}

// Without a console the prompt's keys come from standard input, one byte a key.
TEST_F(Extract, PromptAnswersComeFromStandardInputWithoutAConsole) {
  WriteNms("three.nms", {{"a.c", "a"}, {"b.c", "bb"}, {"c.c", "ccc"}});
  const Outcome outcome = QuarrowWithInput({"extract", "three.nms", "/prompt"}, "Yq\x03 n\ny");
  ExpectOutcome(outcome,
                kHeadings + "     1 a.c -- extracted to .\\\n     3 c.c -- extracted to .\\\n", 0,
                "     1 a.c -- Extract?  (Y/N)\n)     2 b.c -- Extract?  (Y/N)\n)"
                "     3 c.c -- Extract?  (Y/N)\n)");
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.c", "app.nms", "c.c", "three.nms"}));
}

TEST_F(Extract, PromptsAndLinesKeepTheirOrderInOneStream) {
  WriteNms("two.nms", {{"a.c", "a"}, {"b.c", "bb"}});
  const Outcome outcome = QuarrowWithInput({"extract", "two.nms", "/PROMPT"}, "yn", true);
  const std::string transcript =
      OnLane(kHeadings + "     1 a.c -- Extract?  (Y/N)\n)" + "     1 a.c -- extracted to .\\\n" +
             "     2 b.c -- Extract?  (Y/N)\n)");
  EXPECT_EQ(outcome.out.substr(outcome.out.find('\n') + 1), transcript);
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(Extract, InputThatEndsBeforeAnAnswerStopsTheRun) {
  WriteNms("two.nms", {{"a.c", "a"}, {"b.c", "bb"}});
  ExpectOutcome(
      QuarrowWithInput({"extract", "two.nms", "/prompt"}, "yx"),
      kHeadings + "     1 a.c -- extracted to .\\\nERROR -- input ended before a Y/N answer\n", 1,
      "     1 a.c -- Extract?  (Y/N)\n)     2 b.c -- Extract?  (Y/N)\n)");
  EXPECT_FALSE(Exists("b.c"));
}

TEST_F(Extract, OnlyDifferingFilesAreOfferedAtThePrompt) {
  Write("same.c", "same");
  WriteNms("mixed.nms", {{"same.c", "same"}, {"other.c", "new"}});
  std::filesystem::create_directory(folder_ / "out");
  Write("other.c", "old");
  ExpectOutcome(
      QuarrowWithInput({"extract", "mixed.nms", "/prompt", "/different", "/outdir=out\\"}, "y"),
      kHeadings + "     3 other.c -- extracted to out\\\n", 0,
      "     3 other.c -- Extract?  (Y/N)\n)");
}

// A file-size limit, with its signal at the default that would end the run:
// the write past it fails instead, and the file is not left.
TEST_F(Extract, AFailedWriteLeavesNoPartialFile) {
  if (OnWindowsLane()) GTEST_SKIP() << "a file size limit is a Linux matter";
  WriteNms("big.nms", {{"small.c", "s"}, {"big.c", std::string(100000, 'b')}});
  const Outcome outcome =
      RunShell("trap - XFSZ; ulimit -f 8; exec \"$QUARROW\" extract big.nms", folder_.string());
  ExpectOutcome(outcome,
                kHeadings +
                    "     1 small.c -- extracted to .\\\n100000 big.c ERROR 27. (File too large) "
                    "writing file '.\\big.c'\n",
                1);
  EXPECT_TRUE(Exists("small.c"));
  EXPECT_FALSE(Exists("big.c"));
}

// Windows: the folder learns from a probe of its own that it takes the
// delete mark; each file is then created under a temporary name with DELETE
// access and CREATE_NEW, marked before its first byte, unmarked after its
// last, then renamed and closed. A file that is not kept, here a file
// written ahead whose name was taken, is closed while marked: nothing is
// ever deleted by name. The calls as Wine's trace of the program shows them.
TEST_F(Extract, OnWindowsAFileIsMarkedForDeletionUntilItIsWhole) {
  if (!OnWindowsLane()) GTEST_SKIP() << "the Win32 calls of the Windows build";
  WriteNms("twins.nms", {{"a\\util.c", "first"}, {"b\\util.c", "second"}});
  std::filesystem::create_directory(folder_ / "out");
  const char* const workers = std::getenv("QUARROW_WORKERS");
  const std::string workersBefore = workers != nullptr ? workers : "";
  setenv("WINEDEBUG", "+relay", 1);
  setenv("QUARROW_WORKERS", "0", 1);  // the calls on each file follow each other
  const Outcome traced = Quarrow({"extract", "app.nms"});
  setenv("QUARROW_WORKERS", "3", 1);
  const Outcome twins = Quarrow({"extract", "twins.nms", "/OutDir=out\\"});
  setenv("WINEDEBUG", "-all", 1);
  if (workers == nullptr)
    unsetenv("QUARROW_WORKERS");
  else
    setenv("QUARROW_WORKERS", workersBefore.c_str(), 1);
  std::istringstream lines(traced.err);
  std::string handle;
  std::vector<std::vector<std::string>> calls;  // on each temporary, in order
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Call KERNEL32.CreateFileA(") != std::string::npos &&
        line.find("quarrow-partial-") != std::string::npos) {
      EXPECT_NE(line.find(",40010000,00000004,00000000,00000001,"), std::string::npos) << line;
      handle = "?";
      calls.emplace_back();
    } else if (handle == "?" && line.find("Ret  KERNEL32.CreateFileA()") != std::string::npos) {
      handle = line.substr(line.find("retval=") + 7, 8);
    } else if (!handle.empty() && handle != "?" &&
               line.find("Call KERNEL32.") != std::string::npos &&
               line.find("(" + handle) != std::string::npos) {
      const auto name = line.find("KERNEL32.") + 9;
      calls.back().push_back(line.substr(name, line.find('(', name) - name));
      if (calls.back().back() == "CloseHandle") handle.clear();
    }
  }
  const std::vector<std::string> probe = {"GetFileType", "SetFileInformationByHandle",
                                          "CloseHandle"};
  const std::vector<std::string> kept = {"GetFileType",
                                         "SetFileInformationByHandle",
                                         "WriteFile",
                                         "SetFileInformationByHandle",
                                         "SetFileInformationByHandle",
                                         "CloseHandle"};
  EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{probe, kept, kept}));
  EXPECT_EQ(Read("main.c"), "int main;\n");
  EXPECT_EQ(twins.status, 1) << twins.out;
  EXPECT_EQ(Read("out/util.c"), "first");
  for (const Outcome* run : {&traced, &twins})
    EXPECT_EQ(run->err.find("KERNEL32.DeleteFile"), std::string::npos);
}

// Started with standard streams closed (as cron, a service manager or
// `<&- >&-` can start it), a run's own words never land in a file it makes,
// on one thread, working ahead, on the road without unnamed files, and at
// the prompt: every file left holds its text alone, and the status is the
// one the run gives with the streams open, or 1 where a closed stream had to
// be written or read.
TEST_F(Extract, ClosedStandardStreamsNeverLandInAFile) {
  if (OnWindowsLane()) GTEST_SKIP() << "numbers of closed streams are a POSIX matter";
  std::vector<nmswriter::Source> sources;
  for (int file = 0; file < 100; ++file)
    sources.push_back({"src\\f" + std::to_string(1000 + file) + ".c",
                       std::string(5000, static_cast<char>('a' + file % 26)) + "\n"});
  WriteNms("many.nms", sources);
  const std::string roads[] = {
      "QUARROW_WORKERS=0", "QUARROW_WORKERS=3",
      std::string("QUARROW_WORKERS=3 LD_PRELOAD=") + QUARROW_NO_UNNAMED_FILES,
      std::string("QUARROW_SHIM_NO_LINKS=1 LD_PRELOAD=") + QUARROW_NO_UNNAMED_FILES};
  for (int closed = 0; closed < 8; ++closed) {
    for (const std::string& road : roads) {
      for (const bool prompt : {false, true}) {
        const std::string redirections = std::string(closed & 1 ? " 0<&-" : "") +
                                         (closed & 2 ? " 1>&-" : "") + (closed & 4 ? " 2>&-" : "");
        SCOPED_TRACE(road + redirections + (prompt ? " /Prompt" : ""));
        std::filesystem::remove_all(folder_ / "out");
        std::filesystem::create_directory(folder_ / "out");
        const Outcome outcome =
            RunShell(std::string(prompt ? "yes | head -c 200 | " : "") + "env " + road +
                         " \"$QUARROW\" extract many.nms /OutDir=out/" +
                         (prompt ? " /Prompt" : "") + redirections,
                     folder_.string());
        const bool keysGone = prompt && (closed & 1) != 0;
        EXPECT_EQ(outcome.status, (closed & 2) != 0 || keysGone ? 1 : 0) << outcome.err;
        for (const nmswriter::Source& source : sources) {
          const std::string name = "out/" + source.path.substr(source.path.find('\\') + 1);
          if (keysGone)
            EXPECT_FALSE(Exists(name)) << name;
          else
            EXPECT_EQ(Read(name), source.text) << name;
        }
        EXPECT_EQ(Files().size(), keysGone ? 2 : 2 + sources.size());
      }
    }
  }
}

// Standard error closed alone is taken by /dev/null from the start: at the
// first prompt, with the .nms file read and closed and the next number free
// for the first file of the run, the number 2 is already the null device's.
TEST_F(Extract, AClosedStandardErrorAloneIsTakenBeforeAnyFileOfTheRun) {
  if (OnWindowsLane()) GTEST_SKIP() << "numbers of closed streams are a POSIX matter";
  ASSERT_EQ(mkfifo((folder_ / "keys").c_str(), 0600), 0);
  const int keys = open((folder_ / "keys").c_str(), O_RDWR);
  const pid_t run = fork();
  if (run == 0) {
    dup2(keys, STDIN_FILENO);
    dup2(open((folder_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    close(STDERR_FILENO);
    if (chdir(folder_.c_str()) != 0) _exit(99);
    execl(std::getenv("QUARROW_PROGRAM"), "quarrow", "extract", "app.nms", "/Prompt", nullptr);
    _exit(98);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Read("stdout").empty() && std::chrono::steady_clock::now() < deadline) usleep(1000);
  ASSERT_FALSE(Read("stdout").empty()) << "the first prompt never came";
  std::error_code closed;
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(run) + "/fd/2", closed),
            "/dev/null");
  ASSERT_EQ(write(keys, "nnn", 3), 3);
  int status = 0;
  waitpid(run, &status, 0);
  close(keys);
  EXPECT_EQ(status, 0);
}

// A file is written without a name and named once whole; an ordinary user
// can do that too (CI runs as root, who has more ways to name a file).
TEST_F(Extract, AnOrdinaryUserGetsWholeNamedFilesToo) {
  if (OnWindowsLane() || geteuid() != 0) GTEST_SKIP() << "needs root, to become an ordinary user";
  std::filesystem::create_directory(folder_ / "out");
  for (const auto& folder : {folder_, folder_ / "out"})
    std::filesystem::permissions(folder, std::filesystem::perms::all);
  ExpectOutcome(
      RunShell("exec setpriv --reuid=nobody --regid=nogroup --clear-groups "
               "\"$QUARROW\" extract app.nms /OutDir=out/",
               folder_.string()),
      kHeadings + "    10 main.c -- extracted to out/\n    14 util.h -- extracted to out/\n", 0);
  EXPECT_EQ(Read("out/util.h"), "#pragma once\r\n");
}

}  // namespace
}  // namespace e2e

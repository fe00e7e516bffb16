// The extract prompt at a real terminal: a pseudo-terminal drives the program
// as a user's keyboard would, and shows what the user's screen shows. Under
// Wine the terminal becomes the Windows program's console.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <tuple>

#include "fixture.h"

// How the program is started is given by the fields that matter to a test;
// the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace e2e {
namespace {

// How the program is started beside its terminal: a stream may go to a
// file of the scratch folder instead, and the hangup signal may be ignored
// from the start, as nohup does.
struct Beside {
  std::string outputFile;
  std::string errorFile;
  bool hangupIgnored = false;
  bool noUnnamedFiles = false;  // the output folder's file system has none
  bool asAShellsJob = false;    // in a process group of its own, its parent in the session
  std::string locale;           // LC_ALL, when not empty
  std::string startedAs;        // the path the program is started by, when not its own
  std::string codePage;         // Windows: the console's code page, set with chcp first
  bool noLinksEither = false;   // nor links, nor renames that refuse to replace (FAT by FUSE)
};

class Terminal : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    WriteNms("three.nms", {{"a.c", "a"}, {"b.c", "bb"}, {"c.c", "ccc"}});
  }
  void TearDown() override {
    if (terminal_ >= 0) close(terminal_);
    Scratch::TearDown();
  }

  void Start(const std::vector<std::string>& arguments, const Beside& beside = {}) {
    std::vector<std::string> command{beside.startedAs.empty() ? std::getenv("QUARROW_PROGRAM")
                                                              : beside.startedAs};
    command.insert(command.end(), arguments.begin(), arguments.end());
    if (!beside.codePage.empty()) {  // one command line for cmd.exe, the program by its Z: path
      std::string line = "chcp " + beside.codePage + " >nul & Z:";
      for (const std::string& word : command) line += word + " ";
      std::replace(line.begin(), line.end(), '/', '\\');
      command = {"cmd", "/c", line};
    }
    if (OnWindowsLane()) command.insert(command.begin(), "wine");
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (terminal_ >= 0) close(terminal_);
    screen_.clear();
    child_ = forkpty(&terminal_, nullptr, nullptr, nullptr);
    ASSERT_GE(child_, 0);
    if (child_ > 0) tcgetattr(terminal_, &modeBefore_);
    if (child_ == 0) {
      const struct rlimit noCoreFiles {};  // SIGQUIT would leave one in the folder
      setrlimit(RLIMIT_CORE, &noCoreFiles);
      if (chdir(folder_.c_str()) != 0) _exit(127);
      const auto redirect = [](const std::string& file, int stream) {
        if (file.empty()) return;
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, stream);
        close(fd);
      };
      redirect(beside.outputFile, STDOUT_FILENO);
      redirect(beside.errorFile, STDERR_FILENO);
      if (beside.hangupIgnored) signal(SIGHUP, SIG_IGN);
      if (!beside.locale.empty()) setenv("LC_ALL", beside.locale.c_str(), 1);
      if (beside.noUnnamedFiles) setenv("LD_PRELOAD", QUARROW_NO_UNNAMED_FILES, 1);
      if (beside.noLinksEither) setenv("QUARROW_SHIM_NO_LINKS", "1", 1);
      if (beside.asAShellsJob) RunAsAShellsJob(argv);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }

  // As a shell with job control runs a command: in the foreground, in a
  // process group of its own, so that stop signals stop it; this process
  // waits for it and ends with its status.
  [[noreturn]] static void RunAsAShellsJob(std::vector<char*>& argv) {
    const pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      signal(SIGTTOU, SIG_IGN);
      tcsetpgrp(STDIN_FILENO, getpid());
      signal(SIGTTOU, SIG_DFL);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    while (waitpid(job, &status, 0) == job && !WIFEXITED(status) && !WIFSIGNALED(status)) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }

  // Sends a signal to the terminal's foreground process group: the program.
  // With no such group (the program already ended), tcgetpgrp gives 0 and
  // kill(0, ...) would stop this test's own group, ctest with it, where no
  // time limit fires: only a group this test made, and that still exists, is
  // signalled.
  void SignalTheForeground(int signal_number) {
    const pid_t group = tcgetpgrp(terminal_);
    if (group <= 1 || group == getpgrp() || kill(-group, 0) != 0) {
      ADD_FAILURE() << "the terminal has no foreground group of the program's (" << group << ")";
      return;
    }
    kill(-group, signal_number);
  }

  // Waits until `done` holds, looking again every millisecond; fails with
  // `what` after 20 seconds.
  static void WaitUntil(const std::function<bool()>& done, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) usleep(1000);
    ASSERT_TRUE(done()) << "waited 20 seconds for " << what;
  }

  void WaitUntilStopped() {
    const std::string stat = "/proc/" + std::to_string(tcgetpgrp(terminal_)) + "/stat";
    WaitUntil(
        [&stat] {
          std::string state;
          std::getline(std::ifstream(stat), state);
          return state.find(") T ") != std::string::npos;
        },
        "the program to stop");
  }

  // The terminal's mode is the one it had before the program started.
  bool ModeIsAsBefore() {
    struct termios now {};
    return tcgetattr(terminal_, &now) == 0 && now.c_iflag == modeBefore_.c_iflag &&
           now.c_oflag == modeBefore_.c_oflag && now.c_lflag == modeBefore_.c_lflag &&
           std::equal(std::begin(now.c_cc), std::end(now.c_cc), std::begin(modeBefore_.c_cc));
  }
  void PutTheModeBefore() { tcsetattr(terminal_, TCSANOW, &modeBefore_); }
  struct termios modeBefore_ {};

  // Reads what the terminal shows until `expected` appears on the screen, as
  // sent or (for Wine's console) as text, or 20 s have passed.
  void WaitFor(const std::string& expected) { ReadUntilShown(expected, &Terminal::Screen); }
  // Whether `expected` is on the screen within half a second.
  bool ShownWithin(const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (ScreenText().find(expected) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline && ReadSome()) {
    }
    return ScreenText().find(expected) != std::string::npos;
  }

  void WaitForText(const std::string& expected) { ReadUntilShown(expected, &Terminal::ScreenText); }

  // Types once the program waits for a key in raw mode, as no person could
  // type between the prompt appearing and the program starting to listen.
  void Type(const std::string& keys) {
    WaitUntilRaw();
    ASSERT_EQ(write(terminal_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Types a key at once, whatever mode the terminal is in.
  void PressNow(char key) { ASSERT_EQ(write(terminal_, &key, 1), 1); }

  int Finish() {
    while (ReadSome()) {
    }
    int status = 0;
    waitpid(child_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  bool TerminalIsCooked() {
    struct termios mode {};
    return tcgetattr(terminal_, &mode) == 0 && (mode.c_lflag & ICANON) && (mode.c_lflag & ECHO) &&
           (mode.c_lflag & ISIG);
  }

  // Waits until a file appears in `folder` (relative to the scratch folder).
  void WaitForFileIn(const std::string& folder) { WaitForFilesIn(folder, 1); }
  void WaitForFilesIn(const std::string& folder, std::size_t count) {
    WaitUntil([&] { return SizesIn(folder).size() >= count; },
              std::to_string(count) + " files in " + folder);
  }

  // Stops the program at a moment when it holds a new file open in `folder`
  // (relative to the scratch folder), named yet or not: a signal sent now
  // reaches it in the middle of a write. It stays stopped until Continue.
  void StopWhileWriting(const std::string& folder) {
    const std::string inFolder = (folder_ / folder).string() + "/";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      kill(child_, SIGSTOP);
      int status = 0;
      ASSERT_EQ(waitpid(child_, &status, WUNTRACED), child_);
      ASSERT_TRUE(WIFSTOPPED(status)) << "the program ended before it was seen writing";
      const std::string fds = "/proc/" + std::to_string(child_) + "/fd";
      for (const auto& fd : std::filesystem::directory_iterator(fds)) {
        std::error_code unreadable;
        if (std::filesystem::read_symlink(fd, unreadable).string().rfind(inFolder, 0) == 0) return;
      }
      Continue();
      usleep(200);
    }
    FAIL() << "the program was never seen writing in " << folder;
  }
  void Continue() { kill(child_, SIGCONT); }

  // Files of `folder` and their sizes.
  std::map<std::string, std::uintmax_t> SizesIn(const std::string& folder) const {
    std::map<std::string, std::uintmax_t> sizes;
    for (const auto& file : std::filesystem::directory_iterator(folder_ / folder))
      sizes[file.path().filename().string()] = file.file_size();
    return sizes;
  }

  void WaitUntilRaw() {
    WaitUntil([this] { return !TerminalIsCooked(); }, "the terminal in raw mode");
  }

  std::string Screen() const { return screen_; }
  std::string ScreenAfterBanner() const { return screen_.substr(screen_.find('\n') + 1); }

  // The text of the screen without control sequences, blanks and CRs: Wine's
  // console draws text with cursor moves between the characters.
  std::string ScreenText() const {
    std::string text;
    for (std::size_t i = 0; i < screen_.size(); ++i) {
      if (screen_[i] == '\x1b' && i + 1 < screen_.size() && screen_[i + 1] == '[') {
        for (i += 2; i < screen_.size() && !(screen_[i] >= 0x40 && screen_[i] <= 0x7E); ++i) {
        }
      } else if (screen_[i] != ' ' && screen_[i] != '\r') {
        text += screen_[i];
      }
    }
    return text;
  }

 private:
  void ReadUntilShown(const std::string& expected, std::string (Terminal::*view)() const) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((this->*view)().find(expected) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      if (!ReadSome()) break;
    }
    ASSERT_NE((this->*view)().find(expected), std::string::npos) << "waiting for: " << expected;
  }

  bool ReadSome() {
    struct pollfd ready {
      terminal_, POLLIN, 0
    };
    if (poll(&ready, 1, 200) == 0) return Alive();
    char buffer[4096];
    const ssize_t got = read(terminal_, buffer, sizeof buffer);
    if (got <= 0) return false;  // EIO: the program has closed the terminal
    screen_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }
  bool Alive() const { return kill(child_, 0) == 0 && waitpid(child_, nullptr, WNOHANG) == 0; }

  int terminal_ = -1;
  std::string screen_;

 protected:
  pid_t child_ = -1;
};

// Keys other than Y and N are ignored; only those that show as themselves
// are echoed. An escape sequence (an arrow or function key) is one key.
TEST_F(Terminal, KeysAnswerThePromptAndOnlyPrintableOnesAreEchoed) {
  if (OnWindowsLane()) GTEST_SKIP() << "the console's own test follows";
  Start({"extract", "three.nms", "/prompt"});
  WaitFor("a.c -- Extract?  (Y/N)\r\n)");
  // q, Ctrl+C (an ordinary key here), up arrow, F1 (two forms), F5, Alt+n,
  // Enter, Tab, u-umlaut, a right-to-left override, DEL; then Y.
  Type("q\x03\x1b[A\x1bOP\x1b[[A\x1b[15~\x1bn\r\t\xc3\xbc\xe2\x80\xae\x7fY");
  WaitFor("b.c -- Extract?  (Y/N)\r\n)");
  Type("\x1b[1;5Bn");  // Ctrl+down arrow, then n
  WaitFor("c.c -- Extract?  (Y/N)\r\n)");
  Type("y");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ScreenAfterBanner(),
            "Bytes  Filename\r\n------ --------------------------------------\r\n"
            "     1 a.c -- Extract?  (Y/N)\r\n)q\xc3\xbcY     1 a.c -- extracted to .\\\r\n"
            "     2 b.c -- Extract?  (Y/N)\r\n)n"
            "     3 c.c -- Extract?  (Y/N)\r\n)y     3 c.c -- extracted to .\\\r\n");
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.c", "c.c", "three.nms"}));
  EXPECT_TRUE(TerminalIsCooked());
}

TEST_F(Terminal, ASignalDuringThePromptRestoresTheTerminal) {
  if (OnWindowsLane()) GTEST_SKIP() << "signals are a Linux matter";
  for (const int signal_number :
       {SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS}) {
    SCOPED_TRACE(strsignal(signal_number));
    Start({"extract", "three.nms", "/prompt"});
    WaitFor("a.c -- Extract?  (Y/N)\r\n)");
    WaitUntilRaw();
    EXPECT_FALSE(TerminalIsCooked());  // the program waits for a key in raw mode
    kill(child_, signal_number);
    EXPECT_EQ(Finish(), 128 + signal_number);
    EXPECT_TRUE(ModeIsAsBefore());
    EXPECT_FALSE(Exists("a.c"));
  }

  // The quit key is the one way out of the prompt.
  Start({"extract", "three.nms", "/prompt"});
  WaitFor("a.c -- Extract?  (Y/N)\r\n)");
  Type("y");
  WaitFor("b.c -- Extract?  (Y/N)\r\n)");
  Type("\x1c");  // Ctrl+backslash
  EXPECT_EQ(Finish(), 128 + SIGQUIT);
  EXPECT_TRUE(TerminalIsCooked());
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.c", "three.nms"}));
}

// Stopped at the prompt and continued (kill -TSTP; or kill -STOP, after which
// a shell puts its own mode back), the run gives the terminal back its mode
// while stopped and takes raw mode again: one key answers without Enter,
// Ctrl+C is an ignored key, and nothing is echoed twice.
TEST_F(Terminal, APromptStoppedAndContinuedReadsItsKeysAsBefore) {
  if (OnWindowsLane()) GTEST_SKIP() << "job control is a Linux matter";
  Start({"extract", "three.nms", "/prompt"}, {"", "", false, false, true});
  WaitFor("a.c -- Extract?  (Y/N)\r\n)");
  WaitUntilRaw();
  SignalTheForeground(SIGTSTP);
  WaitUntilStopped();
  EXPECT_TRUE(ModeIsAsBefore());
  SignalTheForeground(SIGCONT);
  Type("\x03y");
  WaitFor("b.c -- Extract?  (Y/N)\r\n)");
  WaitUntilRaw();
  SignalTheForeground(SIGSTOP);
  WaitUntilStopped();
  PutTheModeBefore();  // as the shell puts its own mode back
  SignalTheForeground(SIGCONT);
  Type("n");
  WaitFor("c.c -- Extract?  (Y/N)\r\n)");
  Type("y");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ScreenAfterBanner(),
            "Bytes  Filename\r\n------ --------------------------------------\r\n"
            "     1 a.c -- Extract?  (Y/N)\r\n)y     1 a.c -- extracted to .\\\r\n"
            "     2 b.c -- Extract?  (Y/N)\r\n)n"
            "     3 c.c -- Extract?  (Y/N)\r\n)y     3 c.c -- extracted to .\\\r\n");
  EXPECT_TRUE(ModeIsAsBefore());
}

// Texts to extract: far more than any machine writes before an interrupt
// arrives, in a small .nms (the entries share one text).
std::vector<nmswriter::Source> ManyLargeTexts(int count) {
  static const std::string large(std::size_t{32} << 20, 'b');
  std::vector<nmswriter::Source> sources;
  for (int index = 0; index < count; ++index)
    sources.push_back({"src\\" + std::to_string(index) + ".c", large});
  return sources;
}
constexpr std::uintmax_t kLargeTextSize = std::uintmax_t{32} << 20;

// Every signal that ends a process by default, as the system says: each one
// raised in a child of its own that has left it to its default, SIGKILL and
// the signals of faults among them. Not the signals the C library keeps for
// itself (it refuses to let them be handled), and not SIGXFSZ, which the
// program ignores (a failed write follows instead).
std::vector<int> EndingSignals() {
  std::vector<int> ending;
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0 || signal_number == SIGXFSZ) continue;
    const pid_t child = fork();
    if (child == 0) {
      const struct rlimit noCoreFiles {};
      setrlimit(RLIMIT_CORE, &noCoreFiles);
      signal(signal_number, SIG_DFL);
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, signal_number);
      sigprocmask(SIG_UNBLOCK, &only, nullptr);
      raise(signal_number);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == signal_number) {
      ending.push_back(signal_number);
    }
  }
  return ending;
}

// An extract ended while large files are written leaves only whole files
// under their names, and ends by the signal; on a file system without
// unnamed files, a temporary file is left only by SIGKILL, and on one that
// takes no link either, only SIGKILL leaves the file in progress.
TEST_F(Terminal, AnExtractEndedByAnySignalLeavesOnlyWholeFiles) {
  if (OnWindowsLane()) GTEST_SKIP() << "signals are a Linux matter; the console's own test follows";
  WriteNms("big.nms", ManyLargeTexts(40));
  for (const int links : {2, 1, 0}) {  // unnamed files and links; links; neither
    for (const int signal_number : EndingSignals()) {
      SCOPED_TRACE(std::string(strsignal(signal_number)) + ", roads " + std::to_string(links));
      const std::string out = "out" + std::to_string(signal_number);
      std::filesystem::create_directory(folder_ / out);
      Beside onTheFileSystem;
      onTheFileSystem.noUnnamedFiles = links < 2;
      onTheFileSystem.noLinksEither = links == 0;
      Start({"extract", "big.nms", "/OutDir=" + out + "/"}, onTheFileSystem);
      StopWhileWriting(out);
      kill(child_, signal_number);
      Continue();
      EXPECT_EQ(Finish(), 128 + signal_number);
      int temporary = 0;
      int whole = 0;
      int partial = 0;
      for (const auto& [name, size] : SizesIn(out)) {
        if (name.starts_with("quarrow-partial-"))
          ++temporary;
        else
          ++(size == kLargeTextSize ? whole : partial);
      }
      // Without links, a SIGKILL can also land while the folder's road is
      // learnt, on a temporary file of its own.
      EXPECT_EQ(temporary + partial, links < 2 && signal_number == SIGKILL ? 1 : 0);
      if (links != 0) {
        EXPECT_EQ(partial, 0);  // only the own-name road stands under a name
      }
      // Named in stored order, whatever was written ahead: the first files.
      for (int index = 0; index < whole; ++index)
        EXPECT_TRUE(std::filesystem::exists(folder_ / out / (std::to_string(index) + ".c")));
      std::filesystem::remove_all(folder_ / out);
    }
  }
}

// Windows: Ctrl+C at its console (under Wine), and the process killed
// outright (as TerminateProcess, taskkill /f or a job's kill end it) at
// several moments, leave only whole files: Windows removes the file in
// progress, marked for deletion until it is whole.
TEST_F(Terminal, AnExtractInterruptedAtTheConsoleLeavesOnlyWholeFiles) {
  if (!OnWindowsLane()) GTEST_SKIP() << "the Windows console only";
  WriteNms("big.nms", ManyLargeTexts(40));
  for (const int filesBefore : {0, 1, 4, -1}) {
    const bool killed = filesBefore >= 0;
    SCOPED_TRACE(killed ? "killed after " + std::to_string(filesBefore) + " files" : "Ctrl+C");
    const std::string out = "out" + std::to_string(filesBefore + 1);
    std::filesystem::create_directory(folder_ / out);
    Start({"extract", "big.nms", "/OutDir=" + out + "/"});
    if (killed) {
      WaitForFilesIn(out, std::size_t(filesBefore) + 1);
      StopWhileWriting(out);
      kill(child_, SIGKILL);
    } else {
      WaitForFileIn(out);
      PressNow('\x03');
    }
    // Killed, Wine's process ends by the signal; Ctrl+C ends it with
    // STATUS_CONTROL_C_EXIT, of which a status keeps the low byte. The run
    // was cut short, and what it left under a stored name is whole: the
    // first files. A kill between the create of a temporary and its mark
    // can leave that one, empty.
    EXPECT_EQ(Finish(), killed ? 128 + SIGKILL : 0x3A);
    const auto sizes = SizesIn(out);
    EXPECT_LT(sizes.size(), 40u);
    std::size_t leftEmpty = 0;
    for (const auto& [name, size] : sizes) {
      if (name.starts_with("quarrow-partial-") && size == 0)
        ++leftEmpty;
      else
        EXPECT_EQ(size, kLargeTextSize) << name;
    }
    EXPECT_LE(leftEmpty, 1u);
    for (std::size_t index = 0; index + leftEmpty < sizes.size(); ++index)
      EXPECT_TRUE(sizes.count(std::to_string(index) + ".c")) << index;
  }
}

// The record survives: a redirected log names every file finished before
// the end, but perhaps the last, named just before it.
TEST_F(Terminal, ALogOfAnEndedExtractNamesTheFilesItFinished) {
  if (OnWindowsLane()) GTEST_SKIP() << "signals are a Linux matter";
  WriteNms("big.nms", ManyLargeTexts(40));
  std::filesystem::create_directory(folder_ / "out");
  Start({"extract", "big.nms", "/OutDir=out/"}, {(folder_ / "log").string(), "", false});
  WaitForFilesIn("out", 3);
  StopWhileWriting("out");
  kill(child_, SIGTERM);
  Continue();
  EXPECT_EQ(Finish(), 128 + SIGTERM);
  const std::string log = Read("log");
  const auto sizes = SizesIn("out");
  std::size_t named = 0;
  for (const auto& [name, size] : sizes) {
    EXPECT_EQ(size, kLargeTextSize) << name;
    if (log.find(std::to_string(kLargeTextSize) + " " + name + " -- extracted to out/\n") !=
        std::string::npos)
      ++named;
  }
  EXPECT_GE(named + 1, sizes.size()) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2 + static_cast<std::ptrdiff_t>(named))
      << log;
}

TEST_F(Terminal, AHangupIgnoredFromTheStartStaysIgnored) {
  if (OnWindowsLane()) GTEST_SKIP() << "signals are a Linux matter";
  WriteNms("big.nms", ManyLargeTexts(3));
  std::filesystem::create_directory(folder_ / "out");
  Start({"extract", "big.nms", "/OutDir=out/"}, {"", "", true});
  StopWhileWriting("out");
  kill(child_, SIGHUP);
  Continue();
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(SizesIn("out"),
            (std::map<std::string, std::uintmax_t>{
                {"0.c", kLargeTextSize}, {"1.c", kLargeTextSize}, {"2.c", kLargeTextSize}}));
}

// Stored names, one for each kind of character that would not show as
// itself on a terminal (each shown as one '?'), and look-alikes that stay.
struct ShownName {
  std::string stored;
  std::string shown;
};
const ShownName kShownNames[] = {
    {"c0\r                  same y.c", "c0?                  same y.c"},
    {"esc\x1b]0;owned\a\x1b[2J.c", "esc?]0;owned??[2J.c"},
    {"del\x7f.c", "del?.c"},
    {"raw\x9b"
     "31m.c",
     "raw?31m.c"},
    {"raw\x80\x9f.c", "raw??.c"},
    {"nel\xc2\x85.c", "nel?.c"},
    {"csi\xc2\x9b"
     "31m.c",
     "csi?31m.c"},
    {"osc\xc2\x9d"
     "0;x.c",
     "osc?0;x.c"},
    {"alm\xd8\x9c.c", "alm?.c"},
    {"zwsp\xe2\x80\x8b.c", "zwsp?.c"},
    {"rlm\xe2\x80\x8f.c", "rlm?.c"},
    {"lre\xe2\x80\xaa.c", "lre?.c"},
    {"bidi\xe2\x80\xae"
     "c.exe",
     "bidi?c.exe"},
    {"wj\xe2\x81\xa0\xe2\x81\xa4.c", "wj??.c"},
    {"iso\xe2\x81\xa6x\xe2\x81\xa9.c", "iso?x?.c"},
    {"bom\xef\xbb\xbf.c", "bom?.c"},
    {"tag\xf3\xa0\x80\x81\xf3\xa0\x81\xbf.c", "tag??.c"},
    {"\xc3\xbc.c", "\xc3\xbc.c"},
    {"\xe6\x97\xa5\xe6\x9c\xac.h", "\xe6\x97\xa5\xe6\x9c\xac.h"},
    {"latin\xfc.c", "latin?.c"},
    {"\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb.c",
     "\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb.c"},
};

// Every stored name is shown at a terminal with '?' for each character that
// would act on it or hide; each stream is judged on its own, and a stream
// redirected keeps every byte.
TEST_F(Terminal, StoredNamesCannotActOnTheScreenOrHide) {
  if (OnWindowsLane()) GTEST_SKIP() << "Wine's console redraws its screen in its own way";
  std::vector<nmswriter::Source> sources;
  for (const ShownName& name : kShownNames) sources.push_back({name.stored, "text"});
  WriteNms("names.nms", sources);
  const std::string errors = (folder_ / "errors").string();
  const std::string bar = "------ --------------------------------------\r\n";

  // Standard output alone at the terminal.
  std::string list = "Bytes  Pathname\r\n" + bar;
  std::string compare;
  std::string extract = "Bytes  Filename\r\n" + bar;
  for (const ShownName& name : kShownNames) {
    list += "     4 " + name.shown + "\r\n";
    compare += "  FILE/PATH_NOT_FOUND! " + name.shown + "\r\n";
    extract += "     4 " + name.shown + " -- extracted to out?[m/\r\n";
  }
  Start({"list", "names.nms"}, {"", errors, false});
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Screen(), list);
  Start({"compare", "names.nms"}, {"", errors, false});
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Screen(), compare);
  std::filesystem::create_directory(folder_ / "out\x1b[m");
  Start({"extract", "names.nms", "/OutDir=out\x1b[m/"}, {"", errors, false});
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Screen(), extract);

  // The prompt's stream alone at the terminal; the log keeps every byte.
  std::filesystem::create_directory(folder_ / "out");
  Start({"extract", "names.nms", "/Prompt", "/OutDir=out/"},
        {(folder_ / "log").string(), "", false});
  std::string prompts;
  std::string log = "Bytes  Filename\n------ --------------------------------------\n";
  for (const ShownName& name : kShownNames) {
    const std::string prompt = "     4 " + name.shown + " -- Extract?  (Y/N)\r\n)";
    WaitFor(prompt);
    Type("y");
    prompts += prompt + "y";
    log += "     4 " + name.stored + " -- extracted to out/\n";
  }
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ScreenAfterBanner(), prompts);
  EXPECT_EQ(Read("log"), log);
  for (const ShownName& name : kShownNames) EXPECT_EQ(Read("out/" + name.stored), "text");

  std::string listed;
  for (const ShownName& name : kShownNames) listed += "     4 " + name.stored + "\n";
  const Outcome redirected = Quarrow({"list", "names.nms"});
  EXPECT_EQ(redirected.out.substr(redirected.out.find("     4 ")), listed);
}

// The Windows build reads key-down events from its console and echoes their
// characters; keys without one (Shift, for a capital) are passed over.
TEST_F(Terminal, TheWindowsConsoleAnswersThePrompt) {
  if (!OnWindowsLane()) GTEST_SKIP() << "the Windows console only";
  Start({"extract", "three.nms", "/prompt"});
  WaitForText("a.c--Extract?(Y/N)\n)");
  Type("q");
  WaitForText(")q");
  // Ctrl+C, which Wine's console sends as an event too (and then drops the
  // keys typed with it), is ignored: the prompt waits on for Y.
  PressNow('\x03');
  // Keys typed with the event are dropped: a q, typed until one is echoed,
  // shows that the event has been handled.
  std::string echoed = ")q";
  do {
    echoed += 'q';
    Type("q");
  } while (!ShownWithin(echoed) && echoed.size() < 20);
  Type("Y");
  WaitForText("b.c--Extract?(Y/N)\n)");
  Type("N");
  WaitForText("c.c--Extract?(Y/N)\n)");
  Type("y");
  EXPECT_EQ(Finish(), 0);
  const std::string text = ScreenText();
  EXPECT_NE(text.find(echoed + "Y1a.c--extractedto.\\\n"), std::string::npos) << text;
  EXPECT_NE(text.find(")N3c.c--Extract?"), std::string::npos) << text;
  EXPECT_NE(text.find(")y3c.c--extractedto.\\\n"), std::string::npos) << text;
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.c", "c.c", "three.nms"}));
}

// Each screen shows a name as the file it names, and nothing in it acts: a
// Windows console, in any code page, the name as Windows reads it (in its
// ANSI code page, 1252 here; bytes it leaves undefined as ?); a terminal in
// an 8-bit locale, raw bytes 128-159 as ?; a UTF-8 one, UTF-8. The
// program's own name is shown by the same rule.
TEST_F(Terminal, EachScreenShowsNamesAsTheFilesTheyName) {
  WriteNms("names.nms", {{"u\xFC\x80\xDC.c", "x"},
                         {"x\x81\x8D\x8F\x90\x9D.c", "x"},
                         {"csi\x9B"
                          "2J.c",
                          "x"},
                         {"a\xC3\x9B"
                          "2J.c",
                          "x"}});
  if (OnWindowsLane()) {
    for (const char* codePage : {"437", "850", "1252", "65001"}) {
      SCOPED_TRACE(codePage);
      Beside atTheConsole;
      atTheConsole.codePage = codePage;
      Start({"list", "names.nms"}, atTheConsole);
      Finish();
      EXPECT_NE(ScreenText().find("1u\xC3\xBC\xE2\x82\xAC\xC3\x9C.c\n1x?????.c\n"
                                  "1csi\xE2\x80\xBA"
                                  "2J.c\n1a\xC3\x83\xE2\x80\xBA"
                                  "2J.c\n"),
                std::string::npos)
          << ScreenText();
    }
    return;
  }
  // A terminal reads by the locale's code set: the locales not installed
  // here are made for the rows, in a folder that LOCPATH names. A locale
  // that cannot be read is shown only what every code set shows.
  const std::string locales = (folder_ / "locales").string();
  std::filesystem::create_directory(locales);
  for (const auto& [language, codeSet, name] :
       {std::tuple("en_US", "ISO-8859-1", "en_US.ISO-8859-1"),
        std::tuple("zh_CN", "GB18030", "zh_CN.GB18030"),
        std::tuple("ja_JP", "SHIFT_JIS", "ja_JP.SJIS")}) {
    const std::string make = std::string("localedef --no-warnings=ascii -i ") + language + " -f " +
                             codeSet + " " + locales + "/" + name + " >/dev/null 2>&1";
    (void)!std::system(make.c_str());
  }
  setenv("LOCPATH", locales.c_str(), 1);
  // "a" and 40 of a combining mark, and as shown: 30 of them, then ?.
  const auto forty = [](const std::string& mark) {
    std::pair<std::string, std::string> marks{"a", "a"};
    for (int count = 0; count < 40; ++count) {
      marks.first += mark;
      marks.second += count < 30 ? mark : "?";
    }
    return marks;
  };
  using Shows = std::vector<std::pair<std::string, std::string>>;  // a name, and as shown
  for (const auto& [locale, names] :
       std::vector<std::pair<std::string, Shows>>{{"en_US.ISO-8859-1",
                                                   {{"a\xC3\x9B"
                                                     "2J.c",
                                                     "a\xC3?2J.c"},
                                                    {"\xFC.c", "\xFC.c"},
                                                    {"soft\xAD.c", "soft?.c"}}},
                                                  {"C.UTF-8",
                                                   {{"a\xC3\x9B"
                                                     "2J.c",
                                                     "a\xC3\x9B"
                                                     "2J.c"},
                                                    forty("\xE0\xB9\x89")}},
                                                  {"C",
                                                   {{"a\xC3\x9B"
                                                     "2J.c",
                                                     "a\xC3\x9B"
                                                     "2J.c"},
                                                    {"caf\xE9.c", "caf?.c"}}},
                                                  {"UTF-8", {{"\xE6\x97\xA5.c", "\xE6\x97\xA5.c"}}},
                                                  {"utf8", {{"\xE6\x97\xA5.c", "\xE6\x97\xA5.c"}}},
                                                  {"zh_CN.GB18030",
                                                   {{"\x81@.c", "\x81@.c"},
                                                    {"safe\xD3"
                                                     "6\xA0"
                                                     "2\xD3"
                                                     "6\xA0"
                                                     "3.c",
                                                     "safe??.c"},
                                                    {"x\x81"
                                                     "6\xA7"
                                                     "1doc.exe",
                                                     "x?doc.exe"},
                                                    forty("\x81"
                                                          "0\xBC"
                                                          "7")}},
                                                  {"ja_JP.SJIS",
                                                   {{"\x83\\\x81[\x83X.c", "\x83\\\x81[\x83X.c"},
                                                    {"csi\x9B"
                                                     "2J.c",
                                                     "csi?2J.c"}}},
                                                  {"qq_QQ",
                                                   {{"caf\xC3\xA9.c", "caf\xC3\xA9.c"},
                                                    {"a\xC3\x9B.c", "a?.c"},
                                                    {"safe\xF3\xA0\x81\xA8.c", "safe?.c"},
                                                    {"x\xE2\x80\xAE"
                                                     "doc.exe",
                                                     "x?doc.exe"},
                                                    {"csi\xC2\x9B"
                                                     "2J.c",
                                                     "csi?2J.c"},
                                                    forty("\xD6\xA1")}}}) {
    SCOPED_TRACE(locale);
    std::vector<nmswriter::Source> sources;
    for (const auto& name : names) sources.push_back({name.first, "x"});
    WriteNms("names.nms", sources);
    Beside inTheLocale;
    inTheLocale.errorFile = "errors";
    inTheLocale.locale = locale;
    Start({"list", "names.nms"}, inTheLocale);
    Finish();
    for (const auto& name : names)
      EXPECT_NE(Screen().find(name.second + "\r\n"), std::string::npos) << Screen();
  }
  unsetenv("LOCPATH");
  const std::string link = (folder_ / "q\x1b]0;x\a\x1b[2J").string();
  std::filesystem::create_symlink(std::getenv("QUARROW_PROGRAM"), link);
  Beside byTheLink;
  byTheLink.errorFile = "errors";
  byTheLink.startedAs = link;
  Start({}, byTheLink);
  EXPECT_EQ(Finish(), 1);
  EXPECT_EQ(Screen().rfind("Usage: q?]0;x??[2J cmd [args...]", 0), 0u) << Screen();
}

}  // namespace
}  // namespace e2e

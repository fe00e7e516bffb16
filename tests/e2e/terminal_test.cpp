// The extract prompt at a real terminal: a pseudo-terminal drives the program
// as a user's keyboard would, and shows what the user's screen shows. Under
// Wine the terminal becomes the Windows program's console.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "fixture.h"

namespace e2e {
namespace {

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

  void Start(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{std::getenv("QUARROW_PROGRAM")};
    if (OnWindowsLane()) command.insert(command.begin(), "wine");
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (terminal_ >= 0) close(terminal_);
    screen_.clear();
    child_ = forkpty(&terminal_, nullptr, nullptr, nullptr);
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      const struct rlimit noCoreFiles {};  // SIGQUIT would leave one in the folder
      setrlimit(RLIMIT_CORE, &noCoreFiles);
      if (chdir(folder_.c_str()) == 0) execvp(argv[0], argv.data());
      _exit(127);
    }
  }

  // Reads what the terminal shows until `expected` appears on the screen, as
  // sent or (for Wine's console) as text, or 20 s have passed.
  void WaitFor(const std::string& expected) { ReadUntilShown(expected, &Terminal::Screen); }
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
  void WaitForFileIn(const std::string& folder) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::filesystem::is_empty(folder_ / folder) &&
           std::chrono::steady_clock::now() < deadline)
      usleep(100);
    ASSERT_FALSE(std::filesystem::is_empty(folder_ / folder)) << "no file appeared in " << folder;
  }

  void WaitUntilRaw() {
    for (int tries = 0; tries < 500 && TerminalIsCooked(); ++tries) usleep(10000);
  }

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
  std::string Screen() const { return screen_; }

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

TEST_F(Terminal, KeysAnswerThePromptAndOthersAreEchoedAndIgnored) {
  if (OnWindowsLane()) GTEST_SKIP() << "the console's own test follows";
  Start({"extract", "three.nms", "/prompt"});
  WaitFor("a.c -- Extract?  (Y/N)\r\n)");
  Type("q\x03Y");  // Ctrl+C is an ordinary key here
  WaitFor("b.c -- Extract?  (Y/N)\r\n)");
  Type("n");
  WaitFor("c.c -- Extract?  (Y/N)\r\n)");
  Type("y");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ScreenAfterBanner(),
            "Bytes  Filename\r\n------ --------------------------------------\r\n"
            "     1 a.c -- Extract?  (Y/N)\r\n)q\x03Y     1 a.c -- extracted to .\\\r\n"
            "     2 b.c -- Extract?  (Y/N)\r\n)n"
            "     3 c.c -- Extract?  (Y/N)\r\n)y     3 c.c -- extracted to .\\\r\n");
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.c", "c.c", "three.nms"}));
  EXPECT_TRUE(TerminalIsCooked());
}

TEST_F(Terminal, ASignalDuringThePromptRestoresTheTerminal) {
  if (OnWindowsLane()) GTEST_SKIP() << "signals are a Linux matter";
  Start({"extract", "three.nms", "/prompt"});
  WaitFor("a.c -- Extract?  (Y/N)\r\n)");
  WaitUntilRaw();
  EXPECT_FALSE(TerminalIsCooked());  // the program waits for a key in raw mode
  kill(child_, SIGTERM);
  EXPECT_EQ(Finish(), 128 + SIGTERM);
  EXPECT_TRUE(TerminalIsCooked());
  EXPECT_FALSE(Exists("a.c"));

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

// An extract ended while large files are written leaves only whole files
// and ends by the signal (on Windows: Ctrl+C at its console, under Wine).
TEST_F(Terminal, AnInterruptedExtractLeavesNoPartialFile) {
  const std::string big(std::size_t{48} << 20, 'b');
  WriteNms("big.nms", {{"one.c", big}, {"two.c", big}, {"three.c", big}});
  const std::vector<int> signals = OnWindowsLane()
                                       ? std::vector<int>{SIGINT}
                                       : std::vector<int>{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  for (const int signal_number : signals) {
    SCOPED_TRACE(strsignal(signal_number));
    const std::string out = "out" + std::to_string(signal_number);
    std::filesystem::create_directory(folder_ / out);
    Start({"extract", "big.nms", "/OutDir=" + out + "/"});
    WaitForFileIn(out);
    if (OnWindowsLane())
      PressNow('\x03');
    else
      kill(child_, signal_number);
    const int status = Finish();
    EXPECT_NE(status, 0);
    if (!OnWindowsLane()) {
      EXPECT_EQ(status, 128 + signal_number);
    }
    for (const auto& file : std::filesystem::directory_iterator(folder_ / out))
      EXPECT_EQ(file.file_size(), big.size()) << file.path();
  }
}

// A stored path is shown at a terminal with '?' for each byte that would act
// on it; the same run redirected keeps every byte.
TEST_F(Terminal, StoredPathsCannotActOnTheScreen) {
  if (OnWindowsLane()) GTEST_SKIP() << "Wine's console redraws its screen in its own way";
  const std::string hostile = "x.c\r                  same y.c\x1b]0;owned\a\x1b[2J\x7f";
  const std::string shown = "x.c?                  same y.c?]0;owned??[2J?";
  WriteNms("hostile.nms", {{hostile, "text"}});
  const std::string bar = "------ --------------------------------------\r\n";

  Start({"list", "hostile.nms"});
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ScreenAfterBanner(), "Bytes  Pathname\r\n" + bar + "     4 " + shown + "\r\n");

  Start({"compare", "hostile.nms"});
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ScreenAfterBanner(), "  FILE/PATH_NOT_FOUND! " + shown + "\r\n");

  std::filesystem::create_directory(folder_ / "out\x1b[m");
  Start({"extract", "hostile.nms", "/prompt", "/OutDir=out\x1b[m/"});
  WaitFor("Extract?");
  Type("y");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ScreenAfterBanner(), "Bytes  Filename\r\n" + bar + "     4 " + shown +
                                     " -- Extract?  (Y/N)\r\n)y     4 " + shown +
                                     " -- extracted to out?[m/\r\n");
  EXPECT_TRUE(Exists("out\x1b[m/" + hostile));

  const Outcome redirected = Quarrow({"list", "hostile.nms"});
  EXPECT_NE(redirected.out.find("     4 " + hostile + "\n"), std::string::npos) << redirected.out;
}

// The Windows build reads key-down events from its console and echoes their
// characters; keys without one (Shift, for a capital) are passed over.
TEST_F(Terminal, TheWindowsConsoleAnswersThePrompt) {
  if (!OnWindowsLane()) GTEST_SKIP() << "the Windows console only";
  Start({"extract", "three.nms", "/prompt"});
  WaitForText("a.c--Extract?(Y/N)\n)");
  Type("qY");
  WaitForText("b.c--Extract?(Y/N)\n)");
  Type("N");
  WaitForText("c.c--Extract?(Y/N)\n)");
  Type("y");
  EXPECT_EQ(Finish(), 0);
  const std::string text = ScreenText();
  EXPECT_NE(text.find(")qY1a.c--extractedto.\\\n"), std::string::npos) << text;
  EXPECT_NE(text.find(")N3c.c--Extract?"), std::string::npos) << text;
  EXPECT_NE(text.find(")y3c.c--extractedto.\\\n"), std::string::npos) << text;
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.c", "c.c", "three.nms"}));
}

}  // namespace
}  // namespace e2e

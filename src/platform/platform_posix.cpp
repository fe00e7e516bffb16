// The platform layer on POSIX systems (built on Linux with glibc).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "platform/platform.h"
#include "platform/posix_calls.h"

namespace platform {

const std::string_view kProgramPathSeparators = "\\/";

namespace {

// Stored paths use the backslash; this system's separator is the slash.
std::string NativePath(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

int Fd(FileHandle file) { return static_cast<int>(file); }

}  // namespace

namespace posix {

const SystemCalls& RealCalls() {
  static const SystemCalls real = {
      [](int folder, const char* path, int flags, mode_t mode) {
        return ::openat(folder, path, flags, mode);
      },
      ::linkat,
      ::write,
      ::close,
      ::unlinkat,
  };
  return real;
}

SystemCalls& Calls() {
  static SystemCalls calls = RealCalls();
  return calls;
}

}  // namespace posix

namespace {

using posix::Calls;

// Signals that do not end the process by default, and those that the
// program's own faults raise (left to their default, so that a fault is
// never mistaken for an interruption). Every other catchable signal up to the
// last realtime one ends the process, and is handled.
constexpr int kNotEnding[] = {SIGCHLD, SIGCONT, SIGSTOP,  SIGTSTP, SIGTTIN,
                              SIGTTOU, SIGURG,  SIGWINCH, SIGKILL};
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};

bool EndsTheProcess(int signal_number) {
  const auto listed = [signal_number](const auto& list) {
    return std::find(std::begin(list), std::end(list), signal_number) != std::end(list);
  };
  return signal_number != SIGXFSZ && !listed(kNotEnding) && !listed(kFaults);
}

// What a signal that ends the process must put right before it does: the
// terminal's mode during a key read, and a new file standing under its name
// before it is whole (only where the file system has no unnamed files).
// What the handler reads changes only while all signals are blocked.
int gTerminalFd = -1;  // during a key read
struct termios gSavedMode {};
int gFdInProgress = -1;
int gFolderInProgress = -1;              // the folder of the new file
std::string gNameInProgress;             // and its name there, now or once whole
bool gUnnamed = false;                   // written without a name, named by FinishNew
bool gNamed = false;                     // the name holds the file in progress
volatile sig_atomic_t gRemoveOnEnd = 0;  // and a signal must remove it (no unnamed files here)

extern "C" void PutRightAndDie(int signal_number) {
  if (gTerminalFd >= 0) tcsetattr(gTerminalFd, TCSANOW, &gSavedMode);
  if (gRemoveOnEnd != 0) Calls().unlinkat(gFolderInProgress, gNameInProgress.c_str(), 0);
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered, by default, once the handler returns
}

sigset_t AllSignals() {
  sigset_t signals;
  sigfillset(&signals);
  return signals;
}

// Installed once, when first needed. A signal that was ignored when the
// program started (nohup, a shell's trap '') stays ignored. A file-size limit
// is not a way to end the run: the write past it fails (EFBIG) and takes the
// road of every failed write.
void HandleEndingSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = PutRightAndDie;
  action.sa_mask = AllSignals();
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    if (!EndsTheProcess(signal_number)) continue;
    struct sigaction previous {};
    // Fails for the signals the C library keeps for itself; they are not sent to us.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
      sigaction(signal_number, &action, nullptr);
  }
}

// While the state above changes, no signal may run the handler.
class SignalsHeld {
 public:
  SignalsHeld() {
    const sigset_t all = AllSignals();
    sigprocmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  SignalsHeld(SignalsHeld&&) = delete;
  SignalsHeld& operator=(SignalsHeld&&) = delete;

 private:
  sigset_t previous_{};
};

// The folder new files go into, opened once for the run (the output folder
// is one prefix): each file then costs no walk of the folder's path.
// -1 when it cannot be opened, with the reason in errno.
int OpenFolder(const std::string& path) {
  static std::string openedPath;
  static int opened = -1;
  if (opened >= 0 && path == openedPath) return opened;
  if (opened >= 0) Calls().close(opened);
  openedPath = path;
  opened = Calls().openat(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  return opened;
}

// The file systems that cannot hold a file without a name answer so.
bool UnnamedFilesRefused(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Gives the unnamed file its name in the folder. linkat never replaces what
// is there. Naming the open file itself (AT_EMPTY_PATH) is the short way,
// refused to ordinary users before Linux 6.10; naming it through /proc is
// open to every user. The first refusal settles the road for the run.
bool NameUnnamedFile(int fd, int folder, const std::string& name) {
  static bool shortWayRefused = false;
  if (!shortWayRefused) {
    if (Calls().linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT) return false;
    shortWayRefused = true;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Calls().linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

namespace {

// What the open of the file last opened for reading found, so that asking
// its size or kind costs no second call (one a file, for a tree of them).
int gOpenedFd = -1;
struct stat gOpenedInfo {};

bool Stat(FileHandle file, struct stat& info) {
  if (Fd(file) == gOpenedFd) {
    info = gOpenedInfo;
    return true;
  }
  return fstat(Fd(file), &info) == 0;
}

}  // namespace

FileHandle OpenForReading(const std::string& path) {
  // O_NONBLOCK so that opening a FIFO with no writer cannot hang the run.
  const int fd = Calls().openat(AT_FDCWD, NativePath(path).c_str(),
                                O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return kNoFile;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int saved = errno;
    Calls().close(fd);
    errno = saved;
    return kNoFile;
  }
  if (S_ISDIR(info.st_mode)) {  // Windows refuses to open a directory as a file.
    Calls().close(fd);
    errno = EISDIR;
    return kNoFile;
  }
  // Reads of a FIFO must wait for its writer, so blocking mode comes back.
  // (For other files the flag changes nothing, and costs two calls a file.)
  if (S_ISFIFO(info.st_mode)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  gOpenedFd = fd;
  gOpenedInfo = info;
  return fd;
}

// Every path is a file's here: a FIFO or a device opens without blocking and
// is decided by its size.
FileHandle OpenStoredFile(const std::string& path) { return OpenForReading(path); }

FileHandle CreateNew(const std::string& directory, std::string_view name) {
  HandleEndingSignals();
  const std::string path = NativePath(directory + std::string(name));
  const auto lastSlash = path.rfind('/');
  const std::string folderPath = lastSlash == std::string::npos ? "."
                                 : lastSlash == 0               ? "/"
                                                                : path.substr(0, lastSlash);
  std::string leaf = lastSlash == std::string::npos ? path : path.substr(lastSlash + 1);
  const int folder = OpenFolder(folderPath);
  if (folder < 0) return kNoFile;
  // Every name that POSIX allows is kept. Anything at the name, even a
  // dangling link, is refused before a byte is written; a path that ends in
  // a slash names the folder itself.
  struct stat existing {};
  if (leaf.empty() || fstatat(folder, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return kNoFile;
  }
  if (errno != ENOENT) return kNoFile;

  // Written without a name, a file cannot be left behind by any end of the
  // process, so there is nothing for a signal to put right.
  int fd = Calls().openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0 && !UnnamedFilesRefused(errno)) return kNoFile;
  if (fd >= 0) {
    gFdInProgress = fd;
    gUnnamed = true;
    gFolderInProgress = folder;
    gNameInProgress = std::move(leaf);  // the signal handler leaves it alone
    return fd;
  }
  // Made, and marked for removal, with no signal in between. O_EXCL with
  // O_CREAT never follows a link at the path, dangling or not, and always
  // makes a regular file.
  const SignalsHeld held;
  fd = Calls().openat(folder, leaf.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return kNoFile;  // errno is the open's; SignalsHeld keeps it
  gFdInProgress = fd;
  gUnnamed = false;
  gNamed = true;
  gFolderInProgress = folder;
  gNameInProgress = std::move(leaf);
  gRemoveOnEnd = 1;
  return fd;
}

namespace {

Finish CloseNew(int fd) {
  const bool closed = Calls().close(fd) == 0;
  const int error = errno;
  gFdInProgress = -1;  // Linux frees the descriptor either way
  if (closed) {
    gNamed = false;
    gRemoveOnEnd = 0;
  }
  errno = error;
  return closed ? Finish::Kept : Finish::CloseFailed;
}

}  // namespace

Finish FinishNew(FileHandle file) {
  if (gUnnamed) {
    if (!NameUnnamedFile(Fd(file), gFolderInProgress, gNameInProgress)) return Finish::NameTaken;
    gNamed = true;  // whole: a signal from here on leaves it, a failed close does not
    return CloseNew(Fd(file));
  }
  // Closed and kept with no signal in between: a finished file stays.
  const SignalsHeld held;
  return CloseNew(Fd(file));
}

void DiscardNew() {
  const int saved = errno;
  {
    const SignalsHeld held;
    if (gFdInProgress >= 0) Calls().close(gFdInProgress);  // an unnamed file vanishes
    gFdInProgress = -1;
    if (gNamed) Calls().unlinkat(gFolderInProgress, gNameInProgress.c_str(), 0);
    gNamed = false;
    gRemoveOnEnd = 0;
  }
  errno = saved;
}

std::optional<std::uint64_t> FileSize(FileHandle file) {
  struct stat info {};
  if (!Stat(file, info)) return std::nullopt;
  if (!S_ISREG(info.st_mode)) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

bool IsPipe(FileHandle file) {
  struct stat info {};
  return Stat(file, info) && S_ISFIFO(info.st_mode);
}

bool ReadExactly(FileHandle file, void* buffer, std::size_t size) {
  auto* next = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = read(Fd(file), next, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {  // The file ended early: no system error to report.
      errno = 0;
      return false;
    }
    next += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

std::optional<std::size_t> ReadSome(FileHandle file, void* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = read(Fd(file), buffer, capacity);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::nullopt;
  }
}

bool WriteAll(FileHandle file, const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = Calls().write(Fd(file), next, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    if (put == 0) {  // no progress and no reason given: never loop for ever
      errno = EIO;
      return false;
    }
    next += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

void Close(FileHandle file) {
  if (Fd(file) == gOpenedFd) gOpenedFd = -1;
  Calls().close(Fd(file));
}

std::uint32_t LastErrorCode() { return static_cast<std::uint32_t>(errno); }

std::string ErrorMessage(std::uint32_t code) {
  const char* text = strerrordesc_np(static_cast<int>(code));
  return text == nullptr ? std::string() : std::string(text);
}

bool IsNotFoundError(std::uint32_t code) {
  return code == static_cast<std::uint32_t>(ENOENT) || code == static_cast<std::uint32_t>(ENOTDIR);
}

void* AllocateBlock(std::size_t size) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (size < kHugePage) return std::malloc(size == 0 ? 1 : size);
  const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  if (rounded < size) return nullptr;
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

namespace {

// The terminal the keys come from: the controlling terminal, whatever
// standard input is. -1 without one.
int KeyTerminal() {
  static const int terminal =
      Calls().openat(AT_FDCWD, "/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC, 0);
  return terminal;
}

std::optional<std::string> ReadStandardInputByte() {
  char key = 0;
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got == 1) return std::string(1, key);
    if (got < 0 && errno == EINTR) continue;
    return std::nullopt;
  }
}

// The bytes of one key arrive together; a byte that arrives later than this
// after the first belongs to the next key.
constexpr int kKeyBytesWithinMs = 100;

// Bytes of the terminal, one at a time, with one byte of look-ahead.
class KeyBytes {
 public:
  explicit KeyBytes(int terminal) : terminal_(terminal) {}

  // The next byte; waits for ever for the first of a key, a short while for
  // the others. nullopt when none came, or the input has ended.
  std::optional<unsigned char> Next(bool firstOfKey) {
    if (held_) return std::exchange(held_, std::nullopt);
    if (!firstOfKey) {
      struct pollfd ready {
        terminal_, POLLIN, 0
      };
      int waiting = 0;
      do {
        waiting = poll(&ready, 1, kKeyBytesWithinMs);
      } while (waiting < 0 && errno == EINTR);
      if (waiting <= 0) return std::nullopt;
    }
    unsigned char byte = 0;
    ssize_t got = 0;
    do {
      got = read(terminal_, &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) return std::nullopt;
    return byte;
  }

  void PutBack(unsigned char byte) { held_ = byte; }

 private:
  int terminal_;
  static inline std::optional<unsigned char> held_;  // kept from one key to the next
};

// The rest of an escape sequence, as terminals send for arrow, function and
// Alt keys: ESC [ parameters final (and the Linux console's ESC [ [ A),
// ESC O x, or ESC x.
void SkipEscapeSequence(KeyBytes& bytes) {
  const auto introducer = bytes.Next(false);
  if (!introducer) return;  // the Escape key alone
  if (*introducer == 'O') {
    bytes.Next(false);
    return;
  }
  if (*introducer != '[') return;
  for (bool first = true;; first = false) {
    const auto byte = bytes.Next(false);
    if (!byte) return;
    if (first && *byte == '[') continue;         // ESC [ [ A: one more byte, the final
    if (*byte >= 0x40 && *byte <= 0x7E) return;  // the final byte
  }
}

// How many bytes follow a UTF-8 lead byte; 0 when it leads no character.
int ContinuationBytes(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) return 2;
  if (lead >= 0xF0 && lead <= 0xF4) return 3;
  return 0;
}

// One key: an escape sequence gives no character; a UTF-8 lead byte brings
// the bytes of its character; a stray byte of a character is none.
std::optional<std::string> ReadOneKey(KeyBytes& bytes) {
  const auto first = bytes.Next(true);
  if (!first) return std::nullopt;
  if (*first == 0x1B) {
    SkipEscapeSequence(bytes);
    return std::string();
  }
  if (*first < 0x80) return std::string(1, static_cast<char>(*first));
  std::string character(1, static_cast<char>(*first));
  for (int more = ContinuationBytes(*first); more > 0; --more) {
    const auto next = bytes.Next(false);
    if (!next) return std::string();
    if ((*next & 0xC0) != 0x80) {
      bytes.PutBack(*next);
      return std::string();
    }
    character += static_cast<char>(*next);
  }
  return ContinuationBytes(*first) == 0 ? std::string() : character;
}

// Reads one key in raw mode (no line editing, no echo; of the signal keys
// only quit is left, so Ctrl+C is an ordinary key and Ctrl+\ ends the run),
// and restores the previous mode, also when a signal ends the run.
std::optional<std::string> ReadTerminalKey(int terminal) {
  HandleEndingSignals();
  struct termios saved {};
  if (tcgetattr(terminal, &saved) != 0) return std::nullopt;
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  raw.c_cc[VINTR] = _POSIX_VDISABLE;
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  {
    const SignalsHeld held;
    gSavedMode = saved;
    gTerminalFd = terminal;
  }

  std::optional<std::string> key;
  if (tcsetattr(terminal, TCSANOW, &raw) == 0) {
    KeyBytes bytes(terminal);
    key = ReadOneKey(bytes);
    tcsetattr(terminal, TCSANOW, &saved);
  }
  gTerminalFd = -1;
  return key;
}

}  // namespace

Screen ScreenOf(Stream stream) {
  switch (stream) {
    case Stream::Output:
      return isatty(STDOUT_FILENO) == 1 ? Screen::Utf8 : Screen::None;
    case Stream::Error:
      return isatty(STDERR_FILENO) == 1 ? Screen::Utf8 : Screen::None;
    case Stream::Keys:
      break;
  }
  return KeyTerminal() >= 0 ? Screen::Utf8 : Screen::None;
}

std::optional<std::string> ReadKey() {
  const int terminal = KeyTerminal();
  if (terminal < 0) return ReadStandardInputByte();
  return ReadTerminalKey(terminal);
}

void EchoKey(std::string_view key) {
  const int terminal = KeyTerminal();
  if (terminal >= 0) (void)!Calls().write(terminal, key.data(), key.size());
}

}  // namespace platform

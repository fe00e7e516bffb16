// The platform layer on POSIX systems (built on Linux with glibc).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

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

// What a signal that ends the process must put right before it does: the
// terminal's mode during a key read, and the new file being written. These
// change only while the ending signals are blocked.
const int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
int gTerminalFd = -1;  // during a key read
struct termios gSavedMode {};
std::string gPathInProgress;
volatile sig_atomic_t gFileInProgress = 0;
int gFdInProgress = -1;

extern "C" void PutRightAndDie(int signal_number) {
  if (gTerminalFd >= 0) tcsetattr(gTerminalFd, TCSANOW, &gSavedMode);
  if (gFileInProgress != 0) unlink(gPathInProgress.c_str());
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered, by default, once the handler returns
}

sigset_t EndingSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal_number : kEndingSignals) sigaddset(&signals, signal_number);
  return signals;
}

// Installed once, when first needed. A signal that was ignored when the
// program started (nohup, a shell's trap '') stays ignored.
void HandleEndingSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = PutRightAndDie;
  action.sa_mask = EndingSignals();
  for (const int signal_number : kEndingSignals) {
    struct sigaction previous {};
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
      sigaction(signal_number, &action, nullptr);
  }
}

sigset_t BlockEndingSignals() {
  const sigset_t ending = EndingSignals();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &ending, &previous);
  return previous;
}

void RestoreSignalMask(const sigset_t& previous) { sigprocmask(SIG_SETMASK, &previous, nullptr); }

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
  const int fd = open(NativePath(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kNoFile;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return kNoFile;
  }
  if (S_ISDIR(info.st_mode)) {  // Windows refuses to open a directory as a file.
    close(fd);
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

FileHandle CreateNew(const std::string& directory, std::string_view name) {
  HandleEndingSignals();
  std::string path = NativePath(directory + std::string(name));
  // Made and marked in progress with no signal in between.
  const sigset_t previous = BlockEndingSignals();
  // Every name that POSIX allows is kept. O_EXCL with O_CREAT never follows a
  // link at the path, dangling or not, and always makes a regular file.
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  const int saved = errno;
  if (fd >= 0) {
    gPathInProgress = std::move(path);
    gFdInProgress = fd;
    gFileInProgress = 1;
  }
  RestoreSignalMask(previous);
  errno = saved;
  return fd < 0 ? kNoFile : fd;
}

bool FinishNew(FileHandle file) {
  // Closed and kept with no signal in between: a finished file stays.
  const sigset_t previous = BlockEndingSignals();
  const bool closed = close(Fd(file)) == 0;  // Linux frees the descriptor either way
  const int saved = errno;
  gFdInProgress = -1;
  if (closed) gFileInProgress = 0;
  RestoreSignalMask(previous);
  errno = saved;
  return closed;
}

void DiscardNew() {
  const int saved = errno;
  const sigset_t previous = BlockEndingSignals();
  if (gFdInProgress >= 0) close(gFdInProgress);
  gFdInProgress = -1;
  if (gFileInProgress != 0) unlink(gPathInProgress.c_str());
  gFileInProgress = 0;
  RestoreSignalMask(previous);
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
    const ssize_t put = write(Fd(file), next, size);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    next += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

void Close(FileHandle file) {
  if (Fd(file) == gOpenedFd) gOpenedFd = -1;
  close(Fd(file));
}

std::uint32_t LastErrorCode() { return static_cast<std::uint32_t>(errno); }

std::string ErrorMessage(std::uint32_t code) {
  const char* text = strerrordesc_np(static_cast<int>(code));
  return text == nullptr ? std::string() : std::string(text);
}

bool IsNotFoundError(std::uint32_t code) {
  return code == static_cast<std::uint32_t>(ENOENT) || code == static_cast<std::uint32_t>(ENOTDIR);
}

bool IsTerminal(Stream stream) {
  return isatty(stream == Stream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1;
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

std::optional<char> ReadStandardInputByte() {
  char key = 0;
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got == 1) return key;
    if (got < 0 && errno == EINTR) continue;
    return std::nullopt;
  }
}

// Reads one key in raw mode (no line editing, no echo; of the signal keys
// only quit is left, so Ctrl+C is an ordinary key and Ctrl+\ ends the run),
// echoes it, and restores the previous mode, also when a signal ends the run.
std::optional<char> ReadTerminalKey(int terminal) {
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

  const sigset_t previous = BlockEndingSignals();
  gSavedMode = saved;
  gTerminalFd = terminal;
  RestoreSignalMask(previous);

  std::optional<char> key;
  if (tcsetattr(terminal, TCSANOW, &raw) == 0) {
    char byte = 0;
    ssize_t got = 0;
    do {
      got = read(terminal, &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1) {
      key = byte;
      (void)!write(terminal, &byte, 1);
    }
    tcsetattr(terminal, TCSANOW, &saved);
  }
  gTerminalFd = -1;
  return key;
}

}  // namespace

std::optional<char> ReadKey() {
  static const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return ReadStandardInputByte();
  return ReadTerminalKey(terminal);
}

}  // namespace platform

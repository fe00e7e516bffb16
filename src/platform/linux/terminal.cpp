// The terminal on Linux: what each stream shows, and the prompt's keys read
// in raw mode from the controlling terminal.
#include "platform/terminal.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <utility>

#include "platform/linux/calls.h"
#include "platform/linux/endings.h"
#include "unicode/utf8.h"

namespace platform {

namespace {

using linux_calls::Calls;

// The terminal's modes during a key read: the one before it, which an ending
// or a stop gives back, and the prompt's raw one, which a continued run
// takes again while the read still waits. Change only while endings are held.
int gTerminalFd = -1;  // during a key read
struct termios gSavedMode {};
struct termios gRawMode {};
volatile sig_atomic_t gRawSet = 0;  // the terminal is in the raw mode set here

void RestoreTerminal() {
  if (gTerminalFd >= 0 && gRawSet != 0) Calls().tcsetattr(gTerminalFd, TCSANOW, &gSavedMode);
  gRawSet = 0;
}

// A run continued in the foreground takes the terminal back in raw mode; in
// the background the terminal is the shell's, and a read from it stops the
// run again (SIGTTIN) until it is brought to the foreground.
void TakeTerminalBack() {
  if (gTerminalFd < 0) return;
  if (Calls().tcgetpgrp(gTerminalFd) != getpgrp()) {
    gRawSet = 0;
    return;
  }
  gRawSet = Calls().tcsetattr(gTerminalFd, TCSANOW, &gRawMode) == 0 ? 1 : 0;
}

// "UTF-8", "utf8": the code set's name in the forms locales spell it.
bool NamesUtf8(std::string_view codeSet) {
  std::string letters;
  for (const char c : codeSet)
    if (c != '-' && c != '_')
      letters += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return letters == "utf8";
}

// The locale the user runs in (LC_ALL, then LC_CTYPE, then LANG): how a
// terminal there reads bytes, and the C library's reading of its code set
// when that is neither UTF-8 nor unknown. Opened once.
struct UsersLocale {
  Screen screen = Screen::Utf8;
  locale_t codeSet = nullptr;
};

UsersLocale OpenUsersLocale() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    name = std::getenv(variable);
    if (name != nullptr && *name != '\0') break;
  }
  const std::string_view locale = name != nullptr ? name : "";
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  if (const locale_t installed = newlocale(LC_CTYPE_MASK, name, nullptr)) {
    if (!NamesUtf8(nl_langinfo_l(CODESET, installed))) return {Screen::CodeSet, installed};
    freelocale(installed);
    return {};
  }
  // Not installed here: only a name that says UTF-8 says how the terminal
  // reads (en_US.UTF-8, or UTF-8 alone, as ssh from a Mac sends it); any
  // other may be any code set.
  const auto dot = locale.find('.');
  const auto codeSetStart = dot == std::string_view::npos ? 0 : dot + 1;
  const bool saysUtf8 =
      NamesUtf8(locale.substr(codeSetStart, locale.find('@', codeSetStart) - codeSetStart));
  return {saysUtf8 ? Screen::Utf8 : Screen::Strictest, nullptr};
}

const UsersLocale& TheUsersLocale() {
  static const UsersLocale locale = OpenUsersLocale();
  return locale;
}

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
    const ssize_t got = Calls().read(STDIN_FILENO, &key, 1);
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
        waiting = Calls().poll(&ready, 1, kKeyBytesWithinMs);
      } while (waiting < 0 && errno == EINTR);
      if (waiting <= 0) return std::nullopt;
    }
    unsigned char byte = 0;
    ssize_t got = 0;
    do {
      got = Calls().read(terminal_, &byte, 1);
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

// One key: an escape sequence gives no character; a UTF-8 lead byte brings
// the bytes of its character; a stray byte of a character, or bytes that
// make no well-formed one, are none.
std::optional<std::string> ReadOneKey(KeyBytes& bytes) {
  const auto first = bytes.Next(true);
  if (!first) return std::nullopt;
  if (*first == 0x1B) {
    SkipEscapeSequence(bytes);
    return std::string();
  }
  const std::size_t length = unicode::Utf8Length(*first);
  if (length == 0) return std::string();
  std::string character(1, static_cast<char>(*first));
  while (character.size() < length) {
    const auto next = bytes.Next(false);
    if (!next) return std::string();
    if ((*next & 0xC0) != 0x80) {
      bytes.PutBack(*next);
      return std::string();
    }
    character += static_cast<char>(*next);
  }
  char32_t codePoint = 0;
  return unicode::DecodeUtf8(character, codePoint) == length ? character : std::string();
}

// Reads one key in raw mode (no line editing, no echo; of the signal keys
// only quit is left, so Ctrl+C and Ctrl+Z are ordinary keys and Ctrl+\ ends
// the run), and restores the previous mode, also when a signal ends the run
// or stops it; a run continued takes raw mode again.
std::optional<std::string> ReadTerminalKey(int terminal) {
  endings::PutRightOnEnding(endings::Job::Terminal, RestoreTerminal);
  endings::PutRightOnPause(endings::Job::Terminal, RestoreTerminal, TakeTerminalBack);
  struct termios saved {};
  if (Calls().tcgetattr(terminal, &saved) != 0) return std::nullopt;
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  raw.c_cc[VINTR] = _POSIX_VDISABLE;
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  {
    const endings::Held held;
    gSavedMode = saved;
    gRawMode = raw;
    gTerminalFd = terminal;
    gRawSet = 1;  // from here on, an ending gives the saved mode back
  }
  // Not held: in the background this stops the run (SIGTTOU) until it is
  // brought to the foreground, rather than change the shell's terminal.
  std::optional<std::string> key;
  if (Calls().tcsetattr(terminal, TCSANOW, &raw) == 0) {
    KeyBytes bytes(terminal);
    key = ReadOneKey(bytes);
  }
  const endings::Held held;
  RestoreTerminal();
  gTerminalFd = -1;
  return key;
}

}  // namespace

Screen ScreenOf(Stream stream) {
  switch (stream) {
    case Stream::Output:
      return Calls().isatty(STDOUT_FILENO) == 1 ? TheUsersLocale().screen : Screen::None;
    case Stream::Error:
      return Calls().isatty(STDERR_FILENO) == 1 ? TheUsersLocale().screen : Screen::None;
    case Stream::Keys:
      break;
  }
  return KeyTerminal() >= 0 ? Screen::Utf8 : Screen::None;
}

std::vector<ScreenCharacter> ReadAsTheScreen(std::string_view text) {
  std::vector<ScreenCharacter> characters;
  const locale_t previous = uselocale(TheUsersLocale().codeSet);
  std::mbstate_t state{};
  for (std::size_t at = 0; at < text.size();) {
    wchar_t character = 0;  // a Unicode code point in the C library here
    const std::size_t length = std::mbrtowc(&character, &text[at], text.size() - at, &state);
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
      characters.push_back({kNoCharacter, 1});  // a byte that starts no whole character
      state = {};
      ++at;
      continue;
    }
    const std::size_t taken = std::max<std::size_t>(length, 1);  // 0: a zero byte
    characters.push_back({static_cast<char32_t>(character), taken});
    at += taken;
  }
  uselocale(previous);
  return characters;
}

std::size_t NameCharacterLength(std::string_view rest) {
  const locale_t codeSet = TheUsersLocale().codeSet;
  if (codeSet == nullptr || rest.size() < 2 || static_cast<unsigned char>(rest[0]) < 0x80) return 1;
  const locale_t previous = uselocale(codeSet);
  std::mbstate_t state{};
  const std::size_t length = std::mbrlen(rest.data(), rest.size(), &state);
  uselocale(previous);
  return length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) ||
                 length == 0
             ? 1
             : length;
}

void WriteToScreen(Stream stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream == Stream::Error ? stderr : stdout);
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

#include "app/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <optional>
#include <span>
#include <string>

#include "platform/files.h"
#include "platform/terminal.h"
#include "unicode/tables.h"
#include "unicode/utf8.h"

namespace app {

void FailWith(const std::string& message) {
  Print(platform::Stream::Output, "%s", message.c_str());
  EndProcess(1);
}

SysErrorText::SysErrorText() : SysErrorText(platform::LastErrorCode()) {}

SysErrorText::SysErrorText(std::uint32_t number)
    : code(number), text(platform::ErrorMessage(code)), length(text.size()) {
  if (length == 0) text = "Unknown error";
}

void FailWithSystemError(const char* format, const SysErrorText& error, const char* path) {
  // The number is unsigned 32-bit but has always been shown as signed.
  Print(platform::Stream::Output, format, static_cast<int>(error.code),
        Shown(platform::Stream::Output, error.text).c_str(),
        Shown(platform::Stream::Output, path).c_str());
  EndProcess(1);
}

namespace {

using unicode::CodePoints;

bool InRanges(std::span<const CodePoints> sorted, char32_t codePoint) {
  const auto after =
      std::upper_bound(sorted.begin(), sorted.end(), codePoint,
                       [](char32_t point, const CodePoints& range) { return point < range.first; });
  return after != sorted.begin() && codePoint <= std::prev(after)->last;
}

// Unicode's stream-safe text format (UAX #15) holds that no text needs more
// than 30 combining marks in a row; a screen paints a taller stack over the
// lines around it, so the marks past that bound are not shown.
constexpr int kMostMarksInARow = 30;

// Whether the character shows as itself, given the combining marks right
// before it (counted on): not a control, nothing that reorders or hides
// text, and no mark past the bound.
bool ShowsAsItself(char32_t codePoint, int& marksInARow) {
  if (codePoint == platform::kNoCharacter) {
    marksInARow = 0;
    return false;
  }
  marksInARow = InRanges(unicode::kCombiningMarks, codePoint) ? marksInARow + 1 : 0;
  return !InRanges(unicode::kNotShownAsThemselves, codePoint) && marksInARow <= kMostMarksInARow;
}

// An 8-bit terminal acts on bytes 128-159 as the C1 controls, whatever its
// code set calls them.
bool IsC1Byte(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  return value >= 0x80 && value <= 0x9F;
}

// A character's own bytes where it shows as itself, else one '?'.
void AppendShown(std::string& shown, bool shows, std::string_view character) {
  if (shows)
    shown.append(character);
  else
    shown += '?';
}

// A terminal that reads UTF-8, or (strictest) one that may read UTF-8 or any
// 8-bit code set. A byte outside a well-formed character is a code page's
// letter to the first when it is 160-255; the second shows it only where
// every reading shows a letter, which leaves none, and no character with a
// C1 byte in it.
std::string ShownAsUtf8(std::string_view text, bool strictest) {
  std::string shown;
  shown.reserve(text.size());
  int marksInARow = 0;
  for (std::size_t at = 0; at < text.size();) {
    char32_t codePoint = 0;
    const std::size_t length = unicode::DecodeUtf8(text.substr(at), codePoint);
    if (length > 0) {
      const std::string_view character = text.substr(at, length);
      const bool shows = ShowsAsItself(codePoint, marksInARow) &&
                         !(strictest && std::any_of(character.begin(), character.end(), IsC1Byte));
      AppendShown(shown, shows, character);
      at += length;
      continue;
    }
    marksInARow = 0;
    shown += !strictest && static_cast<unsigned char>(text[at]) >= 0xA0 ? text[at] : '?';
    ++at;
  }
  return shown;
}

// A terminal of another code set: each character it reads that shows as
// itself is written as the bytes it came from.
std::string ShownByCodeSet(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  int marksInARow = 0;
  std::size_t at = 0;
  for (const platform::ScreenCharacter& read : platform::ReadAsTheScreen(text)) {
    const std::string_view character = text.substr(at, read.length);
    const bool shows =
        ShowsAsItself(read.codePoint, marksInARow) && !(read.length == 1 && IsC1Byte(character[0]));
    AppendShown(shown, shows, character);
    at += read.length;
  }
  return shown;
}

// A Windows console: the characters the system reads the bytes as, written
// in UTF-8 for the console's Unicode writer.
std::string ShownOnConsole(std::string_view text) {
  std::string shown;
  int marksInARow = 0;
  for (const platform::ScreenCharacter& read : platform::ReadAsTheScreen(text)) {
    if (ShowsAsItself(read.codePoint, marksInARow))
      unicode::AppendUtf8(shown, read.codePoint);
    else
      shown += '?';
  }
  return shown;
}

}  // namespace

std::string ShownOn(platform::Screen screen, std::string_view text) {
  switch (screen) {
    case platform::Screen::Utf8:
      return ShownAsUtf8(text, false);
    case platform::Screen::Strictest:
      return ShownAsUtf8(text, true);
    case platform::Screen::CodeSet:
      return ShownByCodeSet(text);
    case platform::Screen::Console:
      return ShownOnConsole(text);
    case platform::Screen::None:
      break;
  }
  return std::string(text);
}

namespace {

// The error stream, for writing now: standard output is flushed first, so
// that the two streams keep their order when they go to one place.
std::FILE* ErrorStream() {
  std::fflush(stdout);
  return stderr;
}

// Each stream is asked once, when first printed to.
platform::Screen ScreenAt(platform::Stream stream) {
  static std::optional<platform::Screen> screens[3];
  std::optional<platform::Screen>& screen = screens[static_cast<int>(stream)];
  if (!screen) screen = platform::ScreenOf(stream);
  return *screen;
}

}  // namespace

std::string Shown(platform::Stream stream, std::string_view text) {
  return ShownOn(ScreenAt(stream), text);
}

void Print(platform::Stream stream, const char* format, ...) {
  std::FILE* const file = stream == platform::Stream::Error ? ErrorStream() : stdout;
  std::va_list arguments;
  va_start(arguments, format);
  // The analyzer, on some paths, loses the va_start just above.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  va_start(arguments, format);
  std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  text.pop_back();
  if (ScreenAt(stream) == platform::Screen::None)
    std::fwrite(text.data(), 1, text.size(), file);
  else
    platform::WriteToScreen(stream, text);
}

}  // namespace app

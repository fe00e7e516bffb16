#include "app/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/terminal.h"

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

bool IsControlByte(unsigned char byte) { return (byte >= 1 && byte <= 31) || byte == 127; }

// Code points a UTF-8 screen would not show as themselves: the C1 controls;
// the format characters, which reorder text (bidirectional marks, embeddings,
// overrides and isolates) or show nothing (zero-width spaces and joiners,
// word joiner, invisible operators, byte order mark, tags); the line and
// paragraph separators; and the other characters that Unicode says show
// nothing (soft hyphen, fillers, variation selectors).
struct CodePoints {
  char32_t first;
  char32_t last;
};
constexpr CodePoints kNotShownAsThemselves[] = {
    {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x115F, 0x1160},   {0x17B4, 0x17B5},   {0x180B, 0x180F},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x206F},   {0x3164, 0x3164},
    {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

bool InRanges(const auto& ranges, char32_t codePoint) {
  return std::any_of(std::begin(ranges), std::end(ranges), [codePoint](const CodePoints& range) {
    return codePoint >= range.first && codePoint <= range.last;
  });
}

// The blocks of combining marks, which a screen stacks on the character
// before them. Unicode's stream-safe text format (UAX #15) holds that no
// text needs more than 30 of them in a row; a screen paints a taller stack
// over the lines around it, so the marks past that bound are not shown.
constexpr CodePoints kCombiningMarks[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF}, {0xFE20, 0xFE2F},
};
constexpr int kMostMarksInARow = 30;

// Whether the character shows as itself, given the combining marks right
// before it (counted on).
bool ShowsAsItself(char32_t codePoint, int& marksInARow) {
  const bool mark = InRanges(kCombiningMarks, codePoint);
  marksInARow = mark ? marksInARow + 1 : 0;
  return codePoint >= 0x20 && codePoint != 0x7F && !InRanges(kNotShownAsThemselves, codePoint) &&
         marksInARow <= kMostMarksInARow;
}

void AppendUtf8(std::string& text, char32_t codePoint) {
  const auto put = [&text](char32_t bits) { text += static_cast<char>(bits); };
  if (codePoint < 0x80) {
    put(codePoint);
  } else if (codePoint < 0x800) {
    put(0xC0 | codePoint >> 6);
    put(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    put(0xE0 | codePoint >> 12);
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  } else {
    put(0xF0 | codePoint >> 18);
    put(0x80 | (codePoint >> 12 & 0x3F));
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  }
}

// A Windows console's text: the characters the system read the bytes as,
// written out in UTF-8 for the console's Unicode writer.
std::string ShownCharacters(const std::u32string& characters) {
  std::string shown;
  int marksInARow = 0;
  for (const char32_t c : characters) {
    if (ShowsAsItself(c, marksInARow))
      AppendUtf8(shown, c);
    else
      shown += '?';
  }
  return shown;
}

// The length of the well-formed UTF-8 character that `text` starts with, and
// its code point; 0 when the bytes there are not one (overlong forms,
// surrogates and values past U+10FFFF are not).
std::size_t DecodeCharacter(std::string_view text, char32_t& codePoint) {
  const auto byte = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;   // the range of the second byte, which rules out
  unsigned char high = 0xBF;  // overlong forms, surrogates and values too large
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  codePoint = lead & (0x7F >> length);
  for (std::size_t index = 1; index < length; ++index) {
    if ((byte(index) & 0xC0) != 0x80) return 0;
    codePoint = codePoint << 6 | (byte(index) & 0x3F);
  }
  return length;
}

}  // namespace

std::string ShownOn(platform::Screen screen, std::string_view text) {
  if (screen == platform::Screen::None) return std::string(text);
  if (screen == platform::Screen::Console)
    return ShownCharacters(platform::DecodeAnsiCodePage(text));
  std::string shown;
  shown.reserve(text.size());
  int marksInARow = 0;
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    char32_t codePoint = 0;
    const std::size_t length = byte < 0x80 || screen == platform::Screen::SingleByte
                                   ? 0
                                   : DecodeCharacter(text.substr(at), codePoint);
    if (length > 0) {
      if (ShowsAsItself(codePoint, marksInARow))
        shown.append(text.substr(at, length));
      else
        shown += '?';
      at += length;
      continue;
    }
    // A byte on its own: controls, and the C1 controls 128-159 (an 8-bit
    // terminal acts on them as such), act on the screen; bytes 160-255 are
    // a code page's letters.
    marksInARow = 0;
    shown += IsControlByte(byte) || (byte >= 0x80 && byte <= 0x9F) ? '?' : text[at];
    ++at;
  }
  return shown;
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
  if (ScreenAt(stream) == platform::Screen::Console)
    platform::WriteToConsole(stream, text);
  else
    std::fwrite(text.data(), 1, text.size(), file);
}

}  // namespace app

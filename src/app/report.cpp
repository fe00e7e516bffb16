#include "app/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

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
    : code(number), text(platform::ErrorMessage(code)) {
  if (text.empty()) text = "Unknown error";
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

constexpr char32_t kZeroWidthJoiner = 0x200D;
constexpr char32_t kZeroWidthNonJoiner = 0x200C;
constexpr char32_t kEmojiPresentation = 0xFE0F;
constexpr char32_t kCancelTag = 0xE007F;

bool IsTag(char32_t codePoint) { return codePoint >= 0xE0020 && codePoint <= 0xE007E; }

bool IsVariationSequence(char32_t base, char32_t selector) {
  const auto before = [](const unicode::VariationSequence& one,
                         const unicode::VariationSequence& other) {
    return one.base != other.base ? one.base < other.base : one.selector < other.selector;
  };
  return std::binary_search(std::begin(unicode::kVariationSequences),
                            std::end(unicode::kVariationSequences),
                            unicode::VariationSequence{base, selector}, before);
}

using Characters = std::vector<platform::ScreenCharacter>;

char32_t CodePointAt(const Characters& text, std::size_t at) {
  return at < text.size() ? text[at].codePoint : platform::kNoCharacter;
}

// RFC 5892's rule for a ZWNJ between letters (CONTEXTJ): a letter that joins
// the next before it and one that joins the previous after it, marks
// between them passed over.
bool JoinsAcross(const Characters& text, std::size_t at) {
  std::size_t before = at;
  while (before > 0 && InRanges(unicode::kJoinTransparent, text[before - 1].codePoint)) --before;
  std::size_t after = at + 1;
  while (after < text.size() && InRanges(unicode::kJoinTransparent, text[after].codePoint)) ++after;
  return before > 0 && InRanges(unicode::kJoinsTheNext, text[before - 1].codePoint) &&
         InRanges(unicode::kJoinsThePrevious, CodePointAt(text, after));
}

// Whether the hidden character at `at` has a role Unicode makes visible
// where it stands: a joiner after a virama, or inside an emoji sequence, a
// non-joiner between joining letters, a selector after a base that has
// that variation, a number's mark before a digit. Tags are the walk's.
bool HasAVisibleRole(const Characters& text, const std::vector<bool>& shown, std::size_t at) {
  const char32_t codePoint = text[at].codePoint;
  const char32_t before = at > 0 && shown[at - 1] ? text[at - 1].codePoint : platform::kNoCharacter;
  const char32_t after = CodePointAt(text, at + 1);
  if (InRanges(unicode::kNumberMarks, codePoint)) return InRanges(unicode::kDigits, after);
  if (before == platform::kNoCharacter) return false;
  const bool afterVirama = InRanges(unicode::kViramas, before);
  if (codePoint == kZeroWidthJoiner) {
    const bool endsAnEmoji = InRanges(unicode::kPictographs, before) ||
                             InRanges(unicode::kEmojiModifiers, before) ||
                             before == kEmojiPresentation;
    return afterVirama || (endsAnEmoji && InRanges(unicode::kPictographs, after));
  }
  if (codePoint == kZeroWidthNonJoiner) return afterVirama || JoinsAcross(text, at);
  return IsVariationSequence(before, codePoint);
}

// Whether each character shows as itself: not a control, nothing that
// reorders or hides text unless it has a visible role there, and no mark
// past the bound. An emoji's tags show only whole: after a pictograph, up
// to their cancel tag. One pass, however the text is made.
std::vector<bool> ShowAsThemselves(const Characters& text) {
  std::vector<bool> shown(text.size(), false);
  int marksInARow = 0;
  std::size_t tagsEnd = 0;  // the tags from here to there show, or not, as one
  bool tagsShown = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char32_t codePoint = text[at].codePoint;
    marksInARow = InRanges(unicode::kStackingMarks, codePoint) ? marksInARow + 1 : 0;
    if (codePoint == platform::kNoCharacter || marksInARow > kMostMarksInARow) continue;
    if (IsTag(codePoint) && at >= tagsEnd) {
      std::size_t end = at;
      while (end < text.size() && IsTag(text[end].codePoint)) ++end;
      tagsShown = at > 0 && shown[at - 1] &&
                  InRanges(unicode::kPictographs, text[at - 1].codePoint) &&
                  CodePointAt(text, end) == kCancelTag;
      tagsEnd = end + 1;
    }
    if (IsTag(codePoint) || codePoint == kCancelTag)
      shown[at] = at < tagsEnd && tagsShown;
    else
      shown[at] =
          !InRanges(unicode::kNotShownAsThemselves, codePoint) || HasAVisibleRole(text, shown, at);
  }
  return shown;
}

// An 8-bit terminal acts on bytes 128-159 as the C1 controls, whatever its
// code set calls them.
bool IsC1Byte(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  return value >= 0x80 && value <= 0x9F;
}

// The characters of well-formed UTF-8; a byte outside one reads as none.
Characters ReadAsUtf8(std::string_view text) {
  Characters read;
  for (std::size_t at = 0; at < text.size();) {
    char32_t codePoint = 0;
    const std::size_t length = unicode::DecodeUtf8(text.substr(at), codePoint);
    read.push_back(length > 0 ? platform::ScreenCharacter{codePoint, length}
                              : platform::ScreenCharacter{platform::kNoCharacter, 1});
    at += std::max<std::size_t>(length, 1);
  }
  return read;
}

// Each character that shows as itself written as the bytes it came from,
// else one '?'. An 8-bit terminal is never sent a lone C1 byte; the
// strictest reading, one that may read UTF-8 or any 8-bit code set, is sent
// no character with a C1 byte in it.
std::string ShownAsTheBytes(std::string_view text, const Characters& read, bool strictest) {
  const std::vector<bool> shows = ShowAsThemselves(read);
  std::string shown;
  shown.reserve(text.size());
  std::size_t at = 0;
  for (std::size_t index = 0; index < read.size(); ++index) {
    const std::string_view character = text.substr(at, read[index].length);
    const bool c1 = strictest ? std::any_of(character.begin(), character.end(), IsC1Byte)
                              : character.size() == 1 && IsC1Byte(character[0]);
    if (shows[index] && !c1)
      shown.append(character);
    else
      shown += '?';
    at += read[index].length;
  }
  return shown;
}

// A Windows console: the characters the system reads the bytes as, written
// in UTF-8 for the console's Unicode writer.
std::string ShownOnConsole(std::string_view text) {
  const Characters read = platform::ReadAsTheScreen(text);
  const std::vector<bool> shows = ShowAsThemselves(read);
  std::string shown;
  for (std::size_t index = 0; index < read.size(); ++index) {
    if (shows[index])
      unicode::AppendUtf8(shown, read[index].codePoint);
    else
      shown += '?';
  }
  return shown;
}

}  // namespace

std::string ShownOn(platform::Screen screen, std::string_view text) {
  switch (screen) {
    case platform::Screen::Utf8:
      return ShownAsTheBytes(text, ReadAsUtf8(text), false);
    case platform::Screen::Strictest:
      return ShownAsTheBytes(text, ReadAsUtf8(text), true);
    case platform::Screen::CodeSet:
      return ShownAsTheBytes(text, platform::ReadAsTheScreen(text), false);
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

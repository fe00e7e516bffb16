// The console on Windows: what each stream shows, text written to it in
// Unicode, and the prompt's keys read as key-down events from its input.
#include "platform/terminal.h"

#include <windows.h>

#include <algorithm>

#include "platform/endings.h"
#include "unicode/utf8.h"

namespace platform {

namespace {

HANDLE OpenConsole(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// The console the keys come from and are echoed to, whatever the standard
// handles are; INVALID_HANDLE_VALUE without one.
HANDLE KeyInput() {
  static const HANDLE input = OpenConsole("CONIN$");
  return input;
}
HANDLE KeyEcho() {
  static const HANDLE output = OpenConsole("CONOUT$");
  return output;
}

// UTF-16 as a console reads it, and back; a lone surrogate reads as U+FFFD.
std::wstring Utf16(std::string_view utf8) {
  const int length = static_cast<int>(utf8.size());
  const int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), wideLength);
  return wide;
}
std::string Utf8(std::wstring_view wide) {
  const int length = static_cast<int>(wide.size());
  const int narrowLength =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(narrowLength), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, narrow.data(), narrowLength, nullptr,
                      nullptr);
  return narrow;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

std::optional<std::string> ReadStandardInputByte() {
  char key = 0;
  DWORD got = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &got, nullptr) || got != 1)
    return std::nullopt;
  return std::string(1, key);
}

// The console's input mode before a key read, which an ending during the
// read gives back. Changes only while endings are held.
HANDLE gInputInRead = INVALID_HANDLE_VALUE;
DWORD gModeBeforeRead = 0;

void RestoreConsoleMode() {
  if (gInputInRead != INVALID_HANDLE_VALUE) SetConsoleMode(gInputInRead, gModeBeforeRead);
}

// Waits for a key-down event with the input mode cleared, so that Ctrl+C
// arrives as an ordinary key; the previous mode is restored afterwards.
// Keys are read in Unicode and given as UTF-8: a character outside the
// Basic Multilingual Plane comes as two events, its two surrogates. Keys
// that give no character (Shift, held for a capital letter; arrows) are
// passed over like other events.
std::optional<std::string> ReadConsoleKey(HANDLE input) {
  endings::PutRightOnEnding(endings::Job::Terminal, RestoreConsoleMode);
  DWORD previousMode = 0;
  GetConsoleMode(input, &previousMode);
  {
    const endings::Held held;
    gInputInRead = input;
    gModeBeforeRead = previousMode;
  }
  SetConsoleMode(input, 0);
  std::optional<std::string> key;
  std::wstring character;
  for (;;) {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!ReadConsoleInputW(input, &record, 1, &count)) break;
    const wchar_t unit = record.Event.KeyEvent.uChar.UnicodeChar;
    if (count != 1 || record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown || unit == 0)
      continue;
    character += unit;
    if (IS_HIGH_SURROGATE(unit)) continue;  // the low one follows
    key = Utf8(character);
    break;
  }
  SetConsoleMode(input, previousMode);
  const endings::Held held;
  gInputInRead = INVALID_HANDLE_VALUE;
  return key;
}

}  // namespace

Screen ScreenOf(Stream stream) {
  switch (stream) {
    case Stream::Output:
      return IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)) ? Screen::Console : Screen::None;
    case Stream::Error:
      return IsConsole(GetStdHandle(STD_ERROR_HANDLE)) ? Screen::Console : Screen::None;
    case Stream::Keys:
      break;
  }
  return KeyInput() != INVALID_HANDLE_VALUE ? Screen::Utf8 : Screen::None;
}

// A character is read as one byte, or two where the code page is one of
// double bytes and the first is a lead byte; or, in the UTF-8 code page, as
// UTF-8.
std::vector<ScreenCharacter> ReadAsTheScreen(std::string_view text) {
  std::vector<ScreenCharacter> characters;
  const bool utf8 = GetACP() == CP_UTF8;
  for (std::size_t at = 0; at < text.size();) {
    const std::string_view rest = text.substr(at);
    char32_t codePoint = kNoCharacter;
    std::size_t length = 1;
    if (utf8) {
      const std::size_t decoded = unicode::DecodeUtf8(rest, codePoint);
      if (decoded == 0) codePoint = kNoCharacter;
      length = std::max<std::size_t>(decoded, 1);
    } else {
      if (rest.size() > 1 && IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(rest[0]))) length = 2;
      wchar_t wide[2] = {};
      const int units =
          MultiByteToWideChar(CP_ACP, 0, rest.data(), static_cast<int>(length), wide, 2);
      if (units == 1) codePoint = wide[0];
      if (units == 2 && IS_HIGH_SURROGATE(wide[0]) && IS_LOW_SURROGATE(wide[1]))
        codePoint =
            static_cast<char32_t>(0x10000 + ((wide[0] - 0xD800) << 10) + (wide[1] - 0xDC00));
    }
    characters.push_back({codePoint, length});
    at += length;
  }
  return characters;
}

std::size_t NameCharacterLength(std::string_view rest) {
  if (rest.size() < 2 || !IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(rest[0]))) return 1;
  wchar_t wide[2] = {};
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, rest.data(), 2, wide, 2) == 1 ? 2 : 1;
}

void WriteToScreen(Stream stream, std::string_view text) {
  // Line ends as the C library's text mode writes them.
  std::wstring wide;
  for (const wchar_t unit : Utf16(text)) {
    if (unit == L'\n') wide += L'\r';
    wide += unit;
  }
  DWORD written = 0;
  WriteConsoleW(GetStdHandle(stream == Stream::Error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE),
                wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

std::optional<std::string> ReadKey() {
  if (KeyInput() == INVALID_HANDLE_VALUE) return ReadStandardInputByte();
  return ReadConsoleKey(KeyInput());
}

void EchoKey(std::string_view key) {
  if (KeyInput() == INVALID_HANDLE_VALUE || KeyEcho() == INVALID_HANDLE_VALUE) return;
  const std::wstring wide = Utf16(key);
  DWORD written = 0;
  WriteConsoleW(KeyEcho(), wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

}  // namespace platform

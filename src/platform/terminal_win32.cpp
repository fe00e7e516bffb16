// The console on Windows: what each stream shows, and the prompt's keys read
// as key-down events from the console's input.
#include <windows.h>

#include "platform/terminal.h"

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

// A console shows bytes in its output code page, where 128-159 are letters,
// unless that code page is UTF-8.
Screen ConsoleScreen() {
  return GetConsoleOutputCP() == CP_UTF8 ? Screen::Utf8 : Screen::SingleByte;
}

std::optional<std::string> ReadStandardInputByte() {
  char key = 0;
  DWORD got = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &got, nullptr) || got != 1)
    return std::nullopt;
  return std::string(1, key);
}

// Waits for a key-down event with the input mode cleared, so that Ctrl+C
// arrives as an ordinary key; the previous mode is restored afterwards. Keys
// that give no character (Shift, held for a capital letter; arrows) are
// passed over like other events.
std::optional<std::string> ReadConsoleKey(HANDLE input) {
  DWORD previousMode = 0;
  GetConsoleMode(input, &previousMode);
  SetConsoleMode(input, 0);
  std::optional<std::string> key;
  for (;;) {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!ReadConsoleInputA(input, &record, 1, &count)) break;
    if (count == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0) {
      key = std::string(1, record.Event.KeyEvent.uChar.AsciiChar);
      break;
    }
  }
  SetConsoleMode(input, previousMode);
  return key;
}

}  // namespace

Screen ScreenOf(Stream stream) {
  DWORD mode = 0;
  switch (stream) {
    case Stream::Output:
      return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? ConsoleScreen()
                                                                    : Screen::None;
    case Stream::Error:
      return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? ConsoleScreen() : Screen::None;
    case Stream::Keys:
      break;
  }
  return KeyInput() != INVALID_HANDLE_VALUE ? ConsoleScreen() : Screen::None;
}

std::optional<std::string> ReadKey() {
  if (KeyInput() == INVALID_HANDLE_VALUE) return ReadStandardInputByte();
  return ReadConsoleKey(KeyInput());
}

void EchoKey(std::string_view key) {
  if (KeyInput() == INVALID_HANDLE_VALUE || KeyEcho() == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteConsoleA(KeyEcho(), key.data(), static_cast<DWORD>(key.size()), &written, nullptr);
}

}  // namespace platform

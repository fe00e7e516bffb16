// What the program needs from the screen and the keyboard: what kind of
// screen each stream shows, and one key press at a time for the prompt. One
// implementation file per system (terminal_linux.cpp, terminal_win32.cpp)
// keeps this contract.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Where text goes: standard output, the error stream, and the terminal (the
// console on Windows) that the prompt's keys come from and are echoed to.
enum class Stream { Output, Error, Keys };

// What shows the text written to a stream. Files and pipes take every byte;
// a screen acts on some bytes rather than show them, and shows the others as
// single bytes of a code page (a Windows console) or as UTF-8 (a POSIX
// terminal, whatever the locale; a Windows console in code page 65001).
enum class Screen { None, SingleByte, Utf8 };
Screen ScreenOf(Stream stream);

// One key press at the terminal, without waiting for Enter and without echo:
// the bytes of one character, a control key's one byte, or nothing for a key
// that gives no character (an arrow or function key: an escape sequence, or
// a console event without a character, read as one key). Ctrl+C is an
// ordinary key there; the one key that ends the run is Ctrl+Break on Windows
// and the quit key (Ctrl+\, SIGQUIT) on POSIX. Whatever ends the run during
// the read, the terminal's mode is given back. Without a terminal, one byte
// of standard input is one key. nullopt when the input has ended or cannot
// be read.
std::optional<std::string> ReadKey();

// Writes a key's bytes back to the terminal the keys come from; nothing
// without one.
void EchoKey(std::string_view key);

}  // namespace platform

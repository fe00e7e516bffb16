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

// What shows the text written to a stream. Files and pipes take every byte.
// A screen acts on some characters rather than show them: a POSIX terminal
// reads bytes as UTF-8 (in a UTF-8 locale, and in the C and POSIX locales,
// where a UTF-8 terminal is by far the likeliest) or as single bytes of an
// 8-bit code set (any other locale), where 128-159 are the C1 controls; a
// Windows console is written in Unicode, and shows text as the system reads
// it in the ANSI code page, the one its ANSI calls use for names. The keys
// of the prompt are UTF-8 on every screen.
enum class Screen { None, SingleByte, Utf8, Console };
Screen ScreenOf(Stream stream);

// The characters that the system's ANSI calls read `text` as (on Windows,
// by the ANSI code page; UTF-8 where that is 65001). Only a Windows console
// asks: elsewhere each byte is read as the character of its number.
std::u32string DecodeAnsiCodePage(std::string_view text);

// Writes UTF-8 text to a stream whose screen is a Windows console, as
// Unicode; elsewhere there is none, and the bytes go to the stream as they
// are.
void WriteToConsole(Stream stream, std::string_view text);

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

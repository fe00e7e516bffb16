// What the program needs from the screen and the keyboard: what kind of
// screen each stream shows, and one key press at a time for the prompt. One
// implementation file per system (linux/terminal.cpp, win32/terminal.cpp)
// keeps this contract.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Where text goes: standard output, the error stream, and the terminal (the
// console on Windows) that the prompt's keys come from and are echoed to.
enum class Stream { Output, Error, Keys };

// What shows the text written to a stream. Files and pipes take every byte.
// A screen acts on some characters rather than show them, and reads bytes
// as characters by a code set:
//  - Utf8: a POSIX terminal in a UTF-8 locale, and in the C and POSIX
//    locales, where a UTF-8 terminal is by far the likeliest; also a locale
//    not installed here whose name says UTF-8.
//  - CodeSet: a POSIX terminal in any other installed locale (GB18030,
//    Shift_JIS, EUC-JP, ISO-8859-1, KOI8-R...), read by the C library's
//    decoder for it.
//  - Strictest: a POSIX terminal in a locale that cannot be read (not
//    installed here, and its name says no UTF-8): it may read bytes as UTF-8
//    or as any 8-bit code set.
//  - Console: a Windows console, written in Unicode, which shows text as the
//    system reads it, in the ANSI code page, the one its ANSI calls use for
//    names.
// The keys of the prompt are UTF-8 on every screen.
enum class Screen { None, Utf8, CodeSet, Strictest, Console };
Screen ScreenOf(Stream stream);

// One character of a text as a screen reads it: its code point, or
// kNoCharacter for a byte that reads as none, and how many bytes it takes.
inline constexpr char32_t kNoCharacter = 0xFFFFFFFF;
struct ScreenCharacter {
  char32_t codePoint;
  std::size_t length;
};

// The characters of `text` as the screen that reads by the system's own
// code set reads them: a POSIX terminal of the CodeSet kind by the user's
// locale, a Windows console by the ANSI code page.
std::vector<ScreenCharacter> ReadAsTheScreen(std::string_view text);

// How the system reads a name: the length in bytes of the character that
// starts `rest` (not empty). On Windows by the ANSI code page, as its ANSI
// calls read names: a lead byte and a second byte of the code page are one
// character, whatever the second byte's value (in code pages 932, 936, 949
// and 950 it can be that of \ or |). On Linux by the code set of the user's
// locale where it is installed and is not UTF-8 (Shift_JIS, GBK, GB18030,
// Big5, Big5-HKSCS; single-byte sets read a byte a character), as the C
// library reads it. Elsewhere, and for a lead byte at the end or before a
// byte that is no second byte, 1.
std::size_t NameCharacterLength(std::string_view rest);

// Writes text to a stream whose screen is not None, as Shown made it for
// that screen: to a Windows console as Unicode (the text is UTF-8); to a
// POSIX terminal, the bytes, through the C library's stream.
void WriteToScreen(Stream stream, std::string_view text);

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

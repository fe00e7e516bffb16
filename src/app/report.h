// How the program ends and how it reports errors. Every failure ends the
// process where it is met; nothing is returned up the call chain.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/terminal.h"

namespace app {

// Ends the process with `status`. The program's own version flushes the
// output streams and exits; a fuzz or test build links one that unwinds.
[[noreturn]] void EndProcess(int status);

// Prints `message` unchanged (no line feed added) to standard output and ends
// the process with status 1.
[[noreturn]] void FailWith(const std::string& message);

// The last system error number and its text, captured at construction.
struct SysErrorText {
  SysErrorText();
  explicit SysErrorText(std::uint32_t number);  // one captured before, on any thread
  std::uint32_t code;
  std::string text;  // "Unknown error" where the system has none
};

// Prints a message about a failed system call and ends with status 1.
// `format` takes the error number, its text and the path, in that order,
// such as "ERROR %d. (%s) reading file '%s'\n". The error is captured by the
// caller, in a statement of its own right after the failed call, so that
// nothing else can run in between.
[[noreturn]] void FailWithSystemError(const char* format, const SysErrorText& error,
                                      const char* path);

// A text from outside the program (the .nms file, the command line, the
// program's own path, a system error text) as it may be printed on
// `stream`. On a screen, the bytes are read as characters the way the
// screen reads them (by its code set: see platform::Screen), and each
// character that would not show as itself becomes one '?': controls (C0 and
// C1, raw or encoded), characters that reorder text, hide it or show
// nothing (Unicode's Cc, Cf, Zl, Zp and default ignorables), combining marks
// past 30 in a row, and bytes that read as no character. The others keep
// their bytes; on a Windows console the text returned is UTF-8, for Print.
// Anywhere else (a file, a pipe) the text is returned as it is.
std::string Shown(platform::Stream stream, std::string_view text);

// Prints to standard output or the error stream, as printf does; every text
// from outside in it has been through Shown. Standard output is flushed
// before the error stream is written. A Windows console is written in
// Unicode; everywhere else the bytes go through the C library's stream.
void Print(platform::Stream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same for a screen of the given kind.
std::string ShownOn(platform::Screen screen, std::string_view text);

}  // namespace app

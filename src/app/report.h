// How the program ends and how it reports errors. Every failure ends the
// process where it is met; nothing is returned up the call chain.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace app {

// Ends the process with `status`. The program's own version flushes the
// output streams and exits; a fuzz or test build links one that unwinds.
[[noreturn]] void EndProcess(int status);

// Prints `message` unchanged (no line feed added) to standard output and ends
// the process with status 1.
[[noreturn]] void FailWith(const std::string& message);

// The error stream, for writing now: standard output is flushed first, so
// that the two streams keep their order when they go to one place.
std::FILE* ErrorStream();

// The last system error number and its text, captured at construction.
struct SysErrorText {
  SysErrorText();
  std::uint32_t code;
  std::string text;
  std::size_t length;  // 0 when the system had no text ("Unknown error")
};

// Prints a message about a failed system call and ends with status 1.
// `format` takes the error number, its text and the path, in that order,
// such as "ERROR %d. (%s) reading file '%s'\n". The error is captured by the
// caller, in a statement of its own right after the failed call, so that
// nothing else can run in between.
[[noreturn]] void FailWithSystemError(const char* format, const SysErrorText& error,
                                      const char* path);

// A text from the .nms file or the command line as it may be printed on
// `stream`: at a terminal, each byte that would act on it rather than show
// (1-31 and 127: carriage returns, escape sequences) becomes '?'; anywhere
// else the text as it is. A changed copy lasts until the next call.
const char* Shown(const std::FILE* stream, const char* text);

}  // namespace app

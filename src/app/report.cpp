#include "app/report.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace app {

void FailWith(const std::string& message) {
  std::fputs(message.c_str(), stdout);
  EndProcess(1);
}

std::FILE* ErrorStream() {
  std::fflush(stdout);
  return stderr;
}

SysErrorText::SysErrorText()
    : code(platform::LastErrorCode()), text(platform::ErrorMessage(code)), length(text.size()) {
  if (length == 0) text = "Unknown error";
}

void FailWithSystemError(const char* format, const SysErrorText& error, const char* path) {
  // The number is unsigned 32-bit but has always been shown as signed.
  std::printf(format, static_cast<int>(error.code), error.text.c_str(), Shown(stdout, path));
  EndProcess(1);
}

namespace {

bool ActsOnTerminal(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 1 && byte <= 31) || byte == 127;
}

}  // namespace

const char* Shown(const std::FILE* stream, const char* text) {
  static const bool outputIsTerminal = platform::IsTerminal(platform::Stream::Output);
  static const bool errorIsTerminal = platform::IsTerminal(platform::Stream::Error);
  if (!(stream == stderr ? errorIsTerminal : outputIsTerminal)) return text;
  static std::string shown;
  shown = text;
  std::replace_if(shown.begin(), shown.end(), ActsOnTerminal, '?');
  return shown.c_str();
}

}  // namespace app

#include "app/report.h"

#include <cstdio>

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

void FailWithSystemError(const char* format, const SysErrorText& error, const std::string& path) {
  // The number is unsigned 32-bit but has always been shown as signed.
  std::printf(format, static_cast<int>(error.code), error.text.c_str(), path.c_str());
  EndProcess(1);
}

}  // namespace app

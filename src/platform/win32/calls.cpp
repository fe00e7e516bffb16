#include "platform/win32/calls.h"

#include <new>
#include <system_error>

namespace platform::win32_calls {

namespace {

std::thread* NewRuntimeThread(const std::function<void()>& body) {
  try {
    return new std::thread(std::cref(body));
  } catch (const std::system_error&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

const SystemCalls& RealCalls() {
  static const SystemCalls real = {
      ::CreateFileA,
      ::CreateFileW,
      ::ReadFile,
      ::WriteFile,
      ::CloseHandle,
      ::GetFileType,
      ::SetFileInformationByHandle,
      ::DeleteFileA,
      ::DeleteFileW,
      NewRuntimeThread,
  };
  return real;
}

SystemCalls& Calls() {
  static SystemCalls calls = RealCalls();
  return calls;
}

}  // namespace platform::win32_calls

// The Win32 calls under the Windows files of the platform layer (files, new
// files, threads), gathered in one table so that a test can make any of
// them fail the way Windows reports it (a full disk, a write that moves
// nothing, a refused mark or rename, a failed close, no thread) or end the
// process between two of them, and put it back after. The program always
// runs with the real calls.
#pragma once

#include <windows.h>

#include <functional>
#include <thread>

namespace platform::win32_calls {

struct SystemCalls {
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::CreateFileW) CreateFileW;
  decltype(&::ReadFile) ReadFile;
  decltype(&::WriteFile) WriteFile;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::GetFileType) GetFileType;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
  decltype(&::DeleteFileA) DeleteFileA;
  decltype(&::DeleteFileW) DeleteFileW;
  // The C++ runtime's thread running `body`; null where none can be started.
  std::thread* (*NewThread)(const std::function<void()>& body);
};

// The table the layer calls through; tests replace entries of it.
SystemCalls& Calls();

// The real calls.
const SystemCalls& RealCalls();

}  // namespace platform::win32_calls

// What the Windows files of the platform layer share: the Win32 handle
// behind a portable one, and the calls on paths of any length.
#pragma once

#include <windows.h>

#include <string>

#include "platform/files.h"

namespace platform::win32_files {

// The portable handle is the Win32 handle's value.
inline HANDLE Win(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);  // NOLINT(performance-no-int-to-ptr)
}
inline FileHandle Ours(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}

// CreateFileA with these arguments (no attributes, no template), for a path
// of any length: one the ANSI calls cannot take goes by its wide,
// extended-length form.
HANDLE CreateFileAnyLength(const std::string& path, DWORD access, DWORD sharing, DWORD disposition);

// DeleteFileA, for a path of any length.
BOOL DeleteFileAnyLength(const std::string& path);

// The wide path a rename by handle (FILE_RENAME_INFO) takes for `path`: as
// the ANSI calls read it, or its extended-length form past MAX_PATH.
std::wstring RenameTargetOf(const std::string& path);

}  // namespace platform::win32_files

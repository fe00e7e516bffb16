// Reading files on Windows: the Win32 calls with the arguments the program
// has always used.
#include "platform/win32/files.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "platform/files.h"
#include "platform/win32/calls.h"
#include "platform/windows_names.h"

namespace platform {

const std::string_view kProgramPathSeparators = "\\";

namespace win32_files {

using win32_calls::Calls;

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The path in the form that lifts the ANSI calls' length limit: made wide as
// those calls do (the ANSI code page), made absolute, and given the prefix
// \\?\ (or \\?\UNC\ for a share). Empty when a conversion fails, with the
// reason as the last error.
std::wstring ExtendedLengthPath(const std::string& path) {
  const int length = static_cast<int>(path.size());
  const int wideLength = MultiByteToWideChar(CP_ACP, 0, path.data(), length, nullptr, 0);
  if (wideLength == 0) return {};
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), length, wide.data(), wideLength);
  if (StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")) return wide;
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return {};
  full.resize(written);
  if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
  if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

// The ANSI calls take paths below MAX_PATH characters; a longer one (or one
// the system finds too long once made absolute) goes by its wide,
// extended-length form, with the same arguments.
HANDLE CreateFileAnyLength(const std::string& path, DWORD access, DWORD sharing,
                           DWORD disposition) {
  if (path.size() < MAX_PATH) {
    const HANDLE file =
        Calls().CreateFileA(path.c_str(), access, sharing, nullptr, disposition, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILENAME_EXCED_RANGE) return file;
  }
  const std::wstring extended = ExtendedLengthPath(path);
  if (extended.empty()) return INVALID_HANDLE_VALUE;
  return Calls().CreateFileW(extended.c_str(), access, sharing, nullptr, disposition, 0, nullptr);
}

BOOL DeleteFileAnyLength(const std::string& path) {
  if (path.size() < MAX_PATH && Calls().DeleteFileA(path.c_str())) return TRUE;
  const std::wstring extended = ExtendedLengthPath(path);
  return !extended.empty() && Calls().DeleteFileW(extended.c_str());
}

std::wstring RenameTargetOf(const std::string& path) {
  if (path.size() >= MAX_PATH) return ExtendedLengthPath(path);
  const int length = static_cast<int>(path.size());
  const int wideLength = MultiByteToWideChar(CP_ACP, 0, path.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(wideLength, 0)), L'\0');
  if (wideLength > 0) MultiByteToWideChar(CP_ACP, 0, path.data(), length, wide.data(), wideLength);
  return wide;
}

}  // namespace win32_files

namespace {

using win32_calls::Calls;
using win32_files::CreateFileAnyLength;
using win32_files::Ours;
using win32_files::Win;

// ReadFile takes 32-bit counts; larger transfers go in pieces.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

DWORD TransferSize(std::size_t remaining) {
  return static_cast<DWORD>(remaining < kLargestTransfer ? remaining : kLargestTransfer);
}

FileHandle NotFound() {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return kNoFile;
}

}  // namespace

FileHandle OpenForReading(const std::string& path) {
  return Ours(CreateFileAnyLength(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
}

FileHandle OpenStoredFile(const std::string& path) {
  if (windows_names::NamesNoDiskFile(path)) return NotFound();
  const HANDLE file = CreateFileAnyLength(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return kNoFile;
  // A second guard: whatever the path, only a file on a disk is read.
  if (Calls().GetFileType(file) != FILE_TYPE_DISK) {
    Calls().CloseHandle(file);
    return NotFound();
  }
  return Ours(file);
}

std::optional<std::uint64_t> FileSize(FileHandle file) {
  if (Calls().GetFileType(Win(file)) != FILE_TYPE_DISK) return 0;
  DWORD high = 0;
  const DWORD low = GetFileSize(Win(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return std::nullopt;
  return (std::uint64_t{high} << 32) | low;
}

bool IsPipe(FileHandle file) { return Calls().GetFileType(Win(file)) == FILE_TYPE_PIPE; }

bool ReadExactly(FileHandle file, void* buffer, std::size_t size) {
  auto* next = static_cast<char*>(buffer);
  while (size > 0) {
    DWORD got = 0;
    if (!Calls().ReadFile(Win(file), next, TransferSize(size), &got, nullptr)) return false;
    if (got == 0) {  // The file ended early: no system error to report.
      SetLastError(NO_ERROR);
      return false;
    }
    next += got;
    size -= got;
  }
  return true;
}

// One read: the system already reads large files ahead.
bool ReadWholeRegularFile(FileHandle file, void* buffer, std::size_t size,
                          unsigned /*threadsBeside*/) {
  return ReadExactly(file, buffer, size);
}

std::optional<std::size_t> ReadSome(FileHandle file, void* buffer, std::size_t capacity) {
  DWORD got = 0;
  if (Calls().ReadFile(Win(file), buffer, TransferSize(capacity), &got, nullptr)) return got;
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;  // The writer has gone: the end.
  return std::nullopt;
}

void Close(FileHandle file) { Calls().CloseHandle(Win(file)); }

// A process started without standard handles has none (GetStdHandle gives
// null), and no handle the run opens ever becomes one: its words go nowhere.
bool KeepStandardStreamsApart() { return true; }

std::uint32_t LastErrorCode() { return GetLastError(); }

std::string ErrorMessage(std::uint32_t code) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                     0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return std::string();
  std::string message(text, length);
  LocalFree(text);
  // System messages end in a line break; the text stops at its last CR.
  const auto lastCarriageReturn = message.rfind('\r');
  if (lastCarriageReturn != std::string::npos) message.resize(lastCarriageReturn);
  return message;
}

bool IsNotFoundError(std::uint32_t code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

void* AllocateBlock(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

}  // namespace platform

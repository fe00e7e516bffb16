// The platform layer on Windows: the Win32 calls with the arguments the
// program has always used.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

namespace platform {

const std::string_view kProgramPathSeparators = "\\";

namespace {

// The portable handle is the Win32 handle's value.
HANDLE Win(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);  // NOLINT(performance-no-int-to-ptr)
}
FileHandle Ours(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}

// ReadFile and WriteFile take 32-bit counts; larger transfers go in pieces.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

DWORD TransferSize(std::size_t remaining) {
  return static_cast<DWORD>(remaining < kLargestTransfer ? remaining : kLargestTransfer);
}

}  // namespace

FileHandle OpenForReading(const std::string& path) {
  return Ours(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

FileHandle CreateNew(const std::string& path) {
  return Ours(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
}

std::optional<std::uint64_t> FileSize(FileHandle file) {
  if (GetFileType(Win(file)) != FILE_TYPE_DISK) return 0;
  DWORD high = 0;
  const DWORD low = GetFileSize(Win(file), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return std::nullopt;
  return (std::uint64_t{high} << 32) | low;
}

bool IsPipe(FileHandle file) { return GetFileType(Win(file)) == FILE_TYPE_PIPE; }

bool ReadExactly(FileHandle file, void* buffer, std::size_t size) {
  auto* next = static_cast<char*>(buffer);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(Win(file), next, TransferSize(size), &got, nullptr)) return false;
    if (got == 0) {  // The file ended early: no system error to report.
      SetLastError(NO_ERROR);
      return false;
    }
    next += got;
    size -= got;
  }
  return true;
}

std::optional<std::size_t> ReadSome(FileHandle file, void* buffer, std::size_t capacity) {
  DWORD got = 0;
  if (ReadFile(Win(file), buffer, TransferSize(capacity), &got, nullptr)) return got;
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;  // The writer has gone: the end.
  return std::nullopt;
}

bool WriteAll(FileHandle file, const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    if (!WriteFile(Win(file), next, TransferSize(size), &put, nullptr)) return false;
    if (put == 0) return false;
    next += put;
    size -= put;
  }
  return true;
}

void Close(FileHandle file) { CloseHandle(Win(file)); }

void RemoveFile(const std::string& path) {
  const DWORD saved = GetLastError();
  DeleteFileA(path.c_str());
  SetLastError(saved);
}

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

namespace {

std::optional<char> ReadStandardInputByte() {
  char key = 0;
  DWORD got = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &got, nullptr) || got != 1)
    return std::nullopt;
  return key;
}

// Waits for a key-down event with the input mode cleared, so that Ctrl+C
// arrives as an ordinary key; the previous mode is restored afterwards. Keys
// that give no character (Shift, held for a capital letter; arrows) are
// passed over like other events, rather than echoed as a NUL.
std::optional<char> ReadConsoleKey(HANDLE input) {
  DWORD previousMode = 0;
  GetConsoleMode(input, &previousMode);
  SetConsoleMode(input, 0);
  std::optional<char> key;
  for (;;) {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!ReadConsoleInputA(input, &record, 1, &count)) break;
    if (count == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0) {
      key = record.Event.KeyEvent.uChar.AsciiChar;
      break;
    }
  }
  SetConsoleMode(input, previousMode);
  return key;
}

void EchoToConsole(char key) {
  static const HANDLE output =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (output == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteConsoleA(output, &key, 1, &written, nullptr);
}

}  // namespace

std::optional<char> ReadKey() {
  static const HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return ReadStandardInputByte();
  const std::optional<char> key = ReadConsoleKey(input);
  if (key) EchoToConsole(*key);
  return key;
}

}  // namespace platform

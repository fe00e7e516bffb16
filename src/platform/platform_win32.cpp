// The platform layer on Windows: the Win32 calls with the arguments the
// program has always used.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>

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

// The ANSI calls take paths below MAX_PATH characters; a longer one (or one
// the system finds too long once made absolute) goes by its wide,
// extended-length form, with the same arguments.
HANDLE CreateFileAnyLength(const std::string& path, DWORD access, DWORD sharing,
                           DWORD disposition) {
  if (path.size() < MAX_PATH) {
    const HANDLE file =
        CreateFileA(path.c_str(), access, sharing, nullptr, disposition, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILENAME_EXCED_RANGE) return file;
  }
  const std::wstring extended = ExtendedLengthPath(path);
  if (extended.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(extended.c_str(), access, sharing, nullptr, disposition, 0, nullptr);
}

BOOL DeleteFileAnyLength(const std::string& path) {
  if (path.size() < MAX_PATH && DeleteFileA(path.c_str())) return TRUE;
  const std::wstring extended = ExtendedLengthPath(path);
  return !extended.empty() && DeleteFileW(extended.c_str());
}

char UpperAscii(char letter) {
  return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
}

bool SameLetters(std::string_view text, std::string_view upper) {
  return text.size() == upper.size() &&
         std::equal(text.begin(), text.end(), upper.begin(),
                    [](char c, char u) { return UpperAscii(c) == u; });
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The reserved device names of Windows 10, which reserves them with any
// extension, with blanks before it, and with colons after the name or before
// the extension: CON, CON.c, "CON .c" and CON: all open the console.
// Windows 11 reserves fewer; one .nms file gives one result on both. The one
// rule for new names and for stored paths.
bool IsDeviceName(std::string_view name) {
  while (!name.empty() && name.back() == ':') name.remove_suffix(1);
  std::string_view stem = name.substr(0, name.find('.'));
  if (!stem.empty() && stem.back() == ':') stem.remove_suffix(1);
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  if (std::any_of(std::begin(kDevices), std::end(kDevices),
                  [stem](std::string_view device) { return SameLetters(stem, device); }))
    return true;
  if (stem.size() != 4 ||
      !(SameLetters(stem.substr(0, 3), "COM") || SameLetters(stem.substr(0, 3), "LPT")))
    return false;
  // Digits 1-9, and the superscripts 1, 2 and 3 of the ANSI code page.
  const char digit = stem[3];
  return (digit >= '1' && digit <= '9') || digit == '\xB9' || digit == '\xB2' || digit == '\xB3';
}

// The last component of a stored path, where Windows looks for a device
// name: after the last separator, or after a drive's colon (C:NUL).
std::string_view LastComponent(std::string_view path) {
  const auto separator = path.find_last_of("\\/");
  if (separator != std::string_view::npos) return path.substr(separator + 1);
  if (path.size() >= 2 && path[1] == ':') return path.substr(2);
  return path;
}

// \\?\UNC\ (either slash): the verbatim form of a path on a share.
bool StartsAsVerbatimShare(std::string_view path) {
  return path.size() >= 8 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == '?' &&
         IsSeparator(path[3]) && SameLetters(path.substr(4, 3), "UNC") && IsSeparator(path[7]);
}

// \\.\ (either slash), \??\, and \\?\ other than a drive's or a share's path.
bool InDeviceNamespace(std::string_view path) {
  if (path.substr(0, 4) == "\\??\\") return true;  // passed to the system as it is
  if (path.size() < 4 || !IsSeparator(path[0]) || !IsSeparator(path[1]) ||
      (path[2] != '.' && path[2] != '?') || !IsSeparator(path[3]))
    return false;
  if (path[2] == '.') return true;
  const std::string_view rest = path.substr(4);
  const bool drive = rest.size() >= 3 && std::isalpha(static_cast<unsigned char>(rest[0])) &&
                     rest[1] == ':' && IsSeparator(rest[2]);
  return !drive && !StartsAsVerbatimShare(path);
}

// \\host\pipe\... and \\?\UNC\host\pipe\..., or mailslot, in any letter
// case; Windows drops trailing dots and blanks from the share's name.
bool OnPipeOrMailslotShare(std::string_view path) {
  std::string_view rest;
  if (StartsAsVerbatimShare(path))
    rest = path.substr(8);
  else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
    rest = path.substr(2);
  else
    return false;
  const auto hostEnd = rest.find_first_of("\\/");
  if (hostEnd == std::string_view::npos) return false;
  std::string_view share = rest.substr(hostEnd);
  while (!share.empty() && IsSeparator(share.front())) share.remove_prefix(1);
  share = share.substr(0, share.find_first_of("\\/"));
  while (!share.empty() && (share.back() == '.' || share.back() == ' ')) share.remove_suffix(1);
  return SameLetters(share, "PIPE") || SameLetters(share, "MAILSLOT");
}

// A stored path that can name no source file on a disk.
bool NamesNoDiskFile(std::string_view path) {
  return IsDeviceName(LastComponent(path)) || InDeviceNamespace(path) ||
         OnPipeOrMailslotShare(path);
}

FileHandle NotFound() {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return kNoFile;
}

// A name that Windows creates as a plain file of exactly that name, in the
// directory given: no device, no stream or drive behind a colon, no other
// character Windows forbids, nothing it would drop from the end.
bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  constexpr std::string_view kForbidden = "<>:\"/\\|?*";
  for (const char c : name)
    if (static_cast<unsigned char>(c) < 32 || kForbidden.find(c) != std::string_view::npos)
      return false;
  return !IsDeviceName(name);
}

FileHandle RefuseName() {
  SetLastError(ERROR_INVALID_NAME);
  return kNoFile;
}

// The new file being written, which a console event must remove before the
// process ends. The event's handler runs on a thread of its own; the guard
// is held whenever the file in progress changes or is written to, so the
// handler finds it between two pieces of a write, and ends the process while
// still holding the guard.
CRITICAL_SECTION gGuard;
HANDLE gHandleInProgress = INVALID_HANDLE_VALUE;
std::string gPathInProgress;
bool gFileInProgress = false;

BOOL WINAPI RemoveFileInProgressAndEnd(DWORD /*event*/) {
  EnterCriticalSection(&gGuard);
  if (gHandleInProgress != INVALID_HANDLE_VALUE) CloseHandle(gHandleInProgress);
  if (gFileInProgress) DeleteFileAnyLength(gPathInProgress);
  // The status that Windows gives a process ended by Ctrl+C or Ctrl+Break.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// Installed once, when the first file is made.
void HandleConsoleEvents() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  InitializeCriticalSection(&gGuard);
  SetConsoleCtrlHandler(RemoveFileInProgressAndEnd, TRUE);
}

// Writes go in pieces short enough that a console event, which waits for
// the one under way, is handled at once.
constexpr std::size_t kLargestWritePiece = std::size_t{1} << 20;

}  // namespace

FileHandle OpenForReading(const std::string& path) {
  return Ours(CreateFileAnyLength(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
}

FileHandle OpenStoredFile(const std::string& path) {
  if (NamesNoDiskFile(path)) return NotFound();
  const HANDLE file = CreateFileAnyLength(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return kNoFile;
  // A second guard: whatever the path, only a file on a disk is read.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return NotFound();
  }
  return Ours(file);
}

FileHandle CreateNew(const std::string& directory, std::string_view name) {
  if (!IsPlainFileName(name)) return RefuseName();
  HandleConsoleEvents();
  std::string path = directory + std::string(name);
  EnterCriticalSection(&gGuard);
  const HANDLE file = CreateFileAnyLength(path, GENERIC_WRITE, 0, CREATE_NEW);
  // A second guard: whatever the name, only a file on a disk is written to.
  const bool onDisk = file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK;
  if (onDisk) {
    gHandleInProgress = file;
    gPathInProgress = std::move(path);
    gFileInProgress = true;
  }
  LeaveCriticalSection(&gGuard);
  if (file == INVALID_HANDLE_VALUE) return kNoFile;
  if (!onDisk) {
    CloseHandle(file);
    return RefuseName();
  }
  return Ours(file);
}

Finish FinishNew(FileHandle file) {
  EnterCriticalSection(&gGuard);
  const bool closed = CloseHandle(Win(file)) != 0;
  const DWORD error = GetLastError();
  gHandleInProgress = INVALID_HANDLE_VALUE;
  if (closed) gFileInProgress = false;
  LeaveCriticalSection(&gGuard);
  SetLastError(error);
  return closed ? Finish::Kept : Finish::CloseFailed;
}

void DiscardNew() {
  const DWORD saved = GetLastError();
  EnterCriticalSection(&gGuard);
  if (gHandleInProgress != INVALID_HANDLE_VALUE) CloseHandle(gHandleInProgress);
  gHandleInProgress = INVALID_HANDLE_VALUE;
  if (gFileInProgress) DeleteFileAnyLength(gPathInProgress);
  gFileInProgress = false;
  LeaveCriticalSection(&gGuard);
  SetLastError(saved);
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
    EnterCriticalSection(&gGuard);
    const BOOL written = WriteFile(
        Win(file), next, static_cast<DWORD>(std::min(size, kLargestWritePiece)), &put, nullptr);
    LeaveCriticalSection(&gGuard);
    if (!written || put == 0) return false;
    next += put;
    size -= put;
  }
  return true;
}

void Close(FileHandle file) { CloseHandle(Win(file)); }

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

HANDLE OpenConsole(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// The console the keys come from and are echoed to, whatever the standard
// handles are; INVALID_HANDLE_VALUE without one.
HANDLE KeyInput() {
  static const HANDLE input = OpenConsole("CONIN$");
  return input;
}
HANDLE KeyEcho() {
  static const HANDLE output = OpenConsole("CONOUT$");
  return output;
}

// A console shows bytes in its output code page, where 128-159 are letters,
// unless that code page is UTF-8.
Screen ConsoleScreen() {
  return GetConsoleOutputCP() == CP_UTF8 ? Screen::Utf8 : Screen::SingleByte;
}

std::optional<std::string> ReadStandardInputByte() {
  char key = 0;
  DWORD got = 0;
  if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &got, nullptr) || got != 1)
    return std::nullopt;
  return std::string(1, key);
}

// Waits for a key-down event with the input mode cleared, so that Ctrl+C
// arrives as an ordinary key; the previous mode is restored afterwards. Keys
// that give no character (Shift, held for a capital letter; arrows) are
// passed over like other events.
std::optional<std::string> ReadConsoleKey(HANDLE input) {
  DWORD previousMode = 0;
  GetConsoleMode(input, &previousMode);
  SetConsoleMode(input, 0);
  std::optional<std::string> key;
  for (;;) {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!ReadConsoleInputA(input, &record, 1, &count)) break;
    if (count == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0) {
      key = std::string(1, record.Event.KeyEvent.uChar.AsciiChar);
      break;
    }
  }
  SetConsoleMode(input, previousMode);
  return key;
}

}  // namespace

Screen ScreenOf(Stream stream) {
  DWORD mode = 0;
  switch (stream) {
    case Stream::Output:
      return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? ConsoleScreen()
                                                                    : Screen::None;
    case Stream::Error:
      return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? ConsoleScreen() : Screen::None;
    case Stream::Keys:
      break;
  }
  return KeyInput() != INVALID_HANDLE_VALUE ? ConsoleScreen() : Screen::None;
}

std::optional<std::string> ReadKey() {
  if (KeyInput() == INVALID_HANDLE_VALUE) return ReadStandardInputByte();
  return ReadConsoleKey(KeyInput());
}

void EchoKey(std::string_view key) {
  if (KeyInput() == INVALID_HANDLE_VALUE || KeyEcho() == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteConsoleA(KeyEcho(), key.data(), static_cast<DWORD>(key.size()), &written, nullptr);
}

}  // namespace platform

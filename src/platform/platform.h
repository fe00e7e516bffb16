// The platform layer: every operating-system call the program makes goes
// through these few functions. One implementation talks to Win32, the other
// to POSIX; both keep the same contract, stated here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An open file. kNoFile marks a failed open.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Characters that end a directory name in the program's own path (used for
// the short program name): the backslash on Windows, both slashes elsewhere.
extern const std::string_view kProgramPathSeparators;

// Opens an existing file for reading; other readers may open it too, writers
// may not. Never blocks (a FIFO opens at once) and refuses a directory.
// On failure returns kNoFile with the reason in LastErrorCode(). Paths of any
// length work, here and in every call that takes one.
FileHandle OpenForReading(const std::string& path);

// Opens, as OpenForReading does, a file whose path a .nms file stores. On
// Windows a stored path that names no file on a disk is never opened: a
// device (by the rule for new file names, in any folder: NUL, CON, COM1.txt,
// "src\\aux .h"), the device namespace (\\.\, \??\, and \\?\ other than
// \\?\X:\ and \\?\UNC\), and the pipe and mailslot shares of any host. Such a
// path, and a handle that is not a file on a disk, gives "file not found".
FileHandle OpenStoredFile(const std::string& path);

// Creates the file `directory` + `name` (the directory is a plain prefix) for
// writing, exclusively: anything already at the path (a file, a directory, a
// link of any kind) makes it fail, as does a missing directory. Same failure
// rule. `name` comes from an untrusted file: where the system would make of it
// something other than a plain file of exactly that name (on Windows: a
// device, a stream, a name on another drive, trailing dots or blanks
// dropped), it is refused with the system's invalid-name error before
// anything is opened.
//
// The new file is in progress until FinishNew keeps it, one file at a time,
// and it never stands whole-looking under its name before then:
// - on Linux it is written without a name and named only when complete, so
//   whatever ends the process first (any signal, a crash, a file-size limit)
//   leaves nothing under the name; where the file system cannot hold a file
//   without a name, it is created under its name and every signal that ends
//   the process removes it first;
// - on Windows, Ctrl+C, Ctrl+Break and closing the console remove it first.
FileHandle CreateNew(const std::string& directory, std::string_view name);

// How keeping the file in progress ended.
enum class Finish {
  Kept,         // closed, whole, under its name
  CloseFailed,  // the close reported an error (a write the system had deferred)
  NameTaken,    // something took the name after CreateNew looked (EEXIST)
};

// Closes the file in progress and keeps it under its name; never replaces
// anything. On failure the reason is in LastErrorCode() and the file is still
// in progress, for DiscardNew.
Finish FinishNew(FileHandle file);

// Removes the file in progress after a failed write, close or naming,
// closing it first if it is still open. The last error code is kept.
void DiscardNew();

// The file's size in bytes; nullopt on failure (reason in LastErrorCode()).
// Files that are not regular files (pipes, devices) report 0.
std::optional<std::uint64_t> FileSize(FileHandle file);

// True when the file is a pipe: its size tells nothing of what it will yield.
bool IsPipe(FileHandle file);

// Reads exactly `size` bytes, continuing over short reads. False on a failed
// call or when the file ends first (the error code is then 0).
bool ReadExactly(FileHandle file, void* buffer, std::size_t size);

// Reads what the next call gives, at most `capacity` bytes: 0 at the end of
// the file, nullopt on failure.
std::optional<std::size_t> ReadSome(FileHandle file, void* buffer, std::size_t capacity);

// Writes all `size` bytes to the file in progress, continuing over short
// writes. False on failure, and when a call moves no bytes at all.
bool WriteAll(FileHandle file, const void* data, std::size_t size);

void Close(FileHandle file);

// The calling thread's last error number, and the system's text for a number
// (empty when the system has none).
std::uint32_t LastErrorCode();
std::string ErrorMessage(std::uint32_t code);

// True for the errors that mean "no such file" or "a directory on the path
// does not exist".
bool IsNotFoundError(std::uint32_t code);

// A block of memory for the whole loaded file, kept until the process ends;
// null when it cannot be had. Large blocks are given huge pages where the
// system offers them, since faulting in 4 KiB pages one by one dominates the
// cost of reading.
void* AllocateBlock(std::size_t size);

// Where text goes: standard output, the error stream, and the terminal (the
// console on Windows) that the prompt's keys come from and are echoed to.
enum class Stream { Output, Error, Keys };

// What shows the text written to a stream. Files and pipes take every byte;
// a screen acts on some bytes rather than show them, and shows the others as
// single bytes of a code page (a Windows console) or as UTF-8 (a POSIX
// terminal, whatever the locale; a Windows console in code page 65001).
enum class Screen { None, SingleByte, Utf8 };
Screen ScreenOf(Stream stream);

// One key press at the terminal, without waiting for Enter and without echo:
// the bytes of one character, a control key's one byte, or nothing for a key
// that gives no character (an arrow or function key: an escape sequence, or
// a console event without a character, read as one key). Ctrl+C is an
// ordinary key there; the one key that ends the run is Ctrl+Break on Windows
// and the quit key (Ctrl+\, SIGQUIT) on POSIX. Without a terminal, one byte
// of standard input is one key. nullopt when the input has ended or cannot
// be read.
std::optional<std::string> ReadKey();

// Writes a key's bytes back to the terminal the keys come from; nothing
// without one.
void EchoKey(std::string_view key);

}  // namespace platform

// What the program needs from the system to read files: opening, sizing and
// reading them, the system's error numbers and texts, and one large block of
// memory. One implementation file per system (linux/files.cpp,
// win32/files.cpp) keeps this contract.
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

// Called first, before anything is opened. A standard stream that the
// process was started without (POSIX: descriptor 0, 1 or 2 closed, as cron,
// a service manager or `<&- >&-` leave them) is opened on the null device,
// read only: POSIX gives each new file the lowest free number, so a file of
// the run would otherwise take the stream's, and the program's own words
// would land in it. A write to such a stream still fails, as it did. False
// when that cannot be done; the run must then end before it opens anything.
// Windows gives no file of the run a standard handle's place: nothing to do.
// On Linux a write past a file-size limit is made to fail (EFBIG) from here
// on, on every stream, instead of ending the process.
bool KeepStandardStreamsApart();

// Opens an existing file for reading; other readers may open it too, writers
// may not. Never blocks (a FIFO opens at once) and refuses a directory.
// On failure returns kNoFile with the reason in LastErrorCode(). Paths of any
// length work, here and in every call that takes one.
FileHandle OpenForReading(const std::string& path);

// Opens, as OpenForReading does, a file whose path a .nms file stores, but
// only a file on a disk: whatever else the path names is never opened, and
// gives "file not found". On Linux that is anything but a regular file, after
// links (a device, a FIFO, a socket); a directory gives the error of opening
// one. On Windows: a device (by the rule for new file names, in any folder:
// NUL, CON, COM1.txt, "src\\aux .h"), the device namespace (\\.\, \??\, and
// \\?\ other than \\?\X:\ and \\?\UNC\), and the pipe and mailslot shares of
// any host; and a handle that is not a file on a disk.
FileHandle OpenStoredFile(const std::string& path);

// The file's size in bytes; nullopt on failure (reason in LastErrorCode()).
// Files that are not regular files (pipes, devices) report 0.
std::optional<std::uint64_t> FileSize(FileHandle file);

// True when the file is a pipe: its size tells nothing of what it will yield.
bool IsPipe(FileHandle file);

// Reads exactly `size` bytes, continuing over short reads. False on a failed
// call or when the file ends first (the error code is then 0).
bool ReadExactly(FileHandle file, void* buffer, std::size_t size);

// Reads a whole regular file of `size` bytes, from its start, as
// ReadExactly does. Where the file is large, up to `threadsBeside` threads
// beside the calling one read a part each (on Linux), since filling fresh
// pages costs more than the copy; the error code is then the first failed
// part's. True only when every byte was read.
bool ReadWholeRegularFile(FileHandle file, void* buffer, std::size_t size, unsigned threadsBeside);

// Reads what the next call gives, at most `capacity` bytes: 0 at the end of
// the file, nullopt on failure.
std::optional<std::size_t> ReadSome(FileHandle file, void* buffer, std::size_t capacity);

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

}  // namespace platform

// What the program needs from the system to write new files: made
// exclusively, written whole, and never standing under their names before
// they are whole. One implementation file per system (new_files_linux.cpp,
// new_files_win32.cpp) keeps this contract.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace platform {

// Creates the file `directory` + `name` (the directory is a plain prefix) for
// writing, exclusively: anything already at the path (a file, a directory, a
// link of any kind) makes it fail, here or (on Linux, where the file is
// written without a name) in FinishNew, with the same error; so does a
// missing directory. On failure
// returns kNoFile with the reason in LastErrorCode(). `name` comes from an
// untrusted file: where the system would make of it something other than a
// plain file of exactly that name (on Windows: a device, a stream, a name on
// another drive, trailing dots or blanks dropped), it is refused with the
// system's invalid-name error before anything is opened.
//
// The new file is in progress until FinishNew keeps it, one file at a time,
// and it never stands whole-looking under its name before then:
// - on Linux it is written without a name and named only when complete, so
//   whatever ends the process first (any signal, a crash, a file-size limit)
//   leaves nothing under the name; where the file system cannot hold a file
//   without a name, it is written under a temporary name of the program's
//   own (quarrow-partial-PID-N.tmp, in the same folder), which every
//   catchable signal removes, and given its real name only when complete:
//   kill -9 or a power cut can leave that temporary file, never a partial
//   file under a real name;
// - on Windows it is marked for deletion from its creation until FinishNew
//   clears the mark, so Windows removes it however the process ends first
//   (a kill, a crash, a console event); where a file system refuses the
//   mark, Ctrl+C, Ctrl+Break and closing the console remove it first.
FileHandle CreateNew(const std::string& directory, std::string_view name);

// Writes all `size` bytes to the file in progress, continuing over short
// writes. False on failure, and when a call moves no bytes at all.
bool WriteAll(FileHandle file, const void* data, std::size_t size);

// How keeping the file in progress ended.
enum class Finish {
  Kept,         // closed, whole, under its name
  CloseFailed,  // the close reported an error (a write the system had deferred)
  NameRefused,  // the name could not be given: taken since CreateNew looked
                // (EEXIST), or refused by the file system
};

// Closes the file in progress and keeps it under its name; never replaces
// anything. On failure the reason is in LastErrorCode() and the file is still
// in progress, for DiscardNew.
Finish FinishNew(FileHandle file);

// Removes the file in progress after a failed write, close or naming,
// closing it first if it is still open. The last error code is kept.
void DiscardNew();

// Writing ahead. Where the last file CreateNew made is written without a
// name, the texts of the files after it may be written on any thread into
// files without a name in the same folder: each vanishes with the process,
// whatever ends it, until TakeAhead makes it the file in progress for
// FinishNew to name. FolderForAhead gives that folder, or kNoFile where the
// last new file was written otherwise (a temporary name, or a system that
// has no files without a name).
FileHandle FolderForAhead();

// Writes all `size` bytes into a new file without a name in `folder`; safe
// on any thread. kNoFile when a call fails: the caller then makes the file
// on the road above, which meets the failure again and says it.
FileHandle WriteAhead(FileHandle folder, const void* data, std::size_t size);

// Makes the file written ahead the file in progress, as if CreateNew had
// made it for `directory` + `name` and WriteAll had written it. False, with
// nothing taken, where that name would never be given (it names the folder).
bool TakeAhead(FileHandle file, const std::string& directory, std::string_view name);

// Closes a file written ahead and never taken: it vanishes.
void DropAhead(FileHandle file);

}  // namespace platform

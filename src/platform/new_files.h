// What the program needs from the system to write new files: made
// exclusively in one output folder, written whole, and never standing under
// their names before they are whole. One implementation file per system
// (linux/new_files.cpp, win32/new_files.cpp) keeps this contract.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/files.h"

namespace platform {

// How keeping a new file ended.
enum class Finish {
  Kept,         // closed, whole, under its name
  CloseFailed,  // the close reported an error (a write the system had deferred)
  NameRefused,  // the name could not be given: taken since the file was made
                // (EEXIST), or refused by the file system
};

// A new file in progress: made by an OutputFolder, written, then kept under
// its name, which never replaces anything. Move-only; one that is neither
// kept nor moved from is discarded when it goes out of scope. On failure of
// a call, the reason is in LastErrorCode() right after it.
class OutputFolder;

class NewFile {
 public:
  NewFile() = default;
  NewFile(NewFile&& other) noexcept { TakeFrom(other); }
  NewFile& operator=(NewFile&& other) noexcept {
    if (this != &other) {
      Discard();
      TakeFrom(other);
    }
    return *this;
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { Discard(); }

  // Whether there is a file: false after a failed make, a keep or a discard.
  explicit operator bool() const { return handle_ != kNoFile || !onDisk_.empty(); }

  // Writes all `size` bytes, continuing over short writes. False on failure,
  // and when a call moves no bytes at all.
  bool Write(const void* data, std::size_t size);

  // Closes the file and gives it its name. On failure the file is still
  // this object's, to discard.
  Finish Keep();

  // Removes the file, closing it first if it is still open. The last error
  // code is kept.
  void Discard();

 private:
  friend class OutputFolder;

  // Takes over the file of `other`, which is left with none.
  void TakeFrom(NewFile& other) {
    folder_ = other.folder_;
    handle_ = std::exchange(other.handle_, kNoFile);
    name_ = std::exchange(other.name_, std::string());
    onDisk_ = std::exchange(other.onDisk_, std::string());
    state_ = other.state_;
  }

  // What the system's implementation keeps of the file; only it reads these.
  OutputFolder* folder_ = nullptr;  // the folder that made it
  FileHandle handle_ = kNoFile;
  std::string name_;         // the name it is kept under
  std::string onDisk_;       // the name that holds it now, where one does
  unsigned char state_ = 0;  // the system's own: on Windows, whether it is marked
};

// The output folder of an extract, from /OutDir: a plain prefix of each new
// file's path. It is opened at its first use, and learns then, once, which
// road its file system takes for new files, each promising that no partial
// file stands under a real name:
// - Linux, where the file system holds files without a name: a file is
//   written without one and named when whole, so nothing that ends the
//   process (any signal, a crash, a file-size limit) leaves anything;
// - Linux, elsewhere: under a temporary name of the program's own
//   (quarrow-partial-PID-N.tmp), which every catchable ending removes, given
//   its name when whole by a rename that refuses to replace, or a link: a
//   kill -9 or a power cut can leave the temporary file, never a partial
//   file under a real name;
// - Linux, where the file system takes neither (a FUSE mount of FAT): under
//   its own name, made exclusively, which every catchable ending removes; a
//   kill -9 or a power cut can leave a partial file there;
// - Windows, where the file system takes the delete mark: under a temporary
//   name of the program's own, marked for deletion before its first byte,
//   and given its name, never over anything, once whole and unmarked:
//   Windows removes a marked file however the process ends (a kill, a
//   crash, a console event), and nothing stands under a stored name before
//   it is whole;
// - Windows, where it refuses the mark: under its own name, made
//   exclusively, on one thread; Ctrl+C, Ctrl+Break and closing the console
//   remove it; a kill can leave a partial file there.
class OutputFolder {
 public:
  explicit OutputFolder(std::string prefix) : prefix_(std::move(prefix)) {}
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  OutputFolder(OutputFolder&&) = delete;
  OutputFolder& operator=(OutputFolder&&) = delete;

  // Makes the file `name` for writing, exclusively: anything already there (a
  // file, a directory, a link of any kind) makes it fail, here or in Keep,
  // with the same error; so does a missing folder. `name` comes from an
  // untrusted file: where the system would make of it something other than a
  // plain file of exactly that name (on Windows: a device, a stream, a name
  // on another drive, trailing dots or blanks dropped), it is refused with
  // the system's invalid-name error before anything is opened.
  NewFile Make(std::string_view name);

  // Whether texts may be written ahead into this folder, on any thread, into
  // files that vanish with the process whatever ends it: files without a
  // name on Linux, files of a temporary name marked for deletion on Windows.
  bool TakesFilesAhead();

  // Writes the text of the file `name` ahead, on any thread, where
  // TakesFilesAhead. No file where a call fails, or where Claim would not
  // give the name (nothing is then opened): the entry is then made with
  // Make, which meets the failure again and says it.
  NewFile WriteAhead(std::string_view name, const void* data, std::size_t size);

  // Makes a file written ahead the file `name`, as Make and Write would have
  // made it, for Keep. False, with nothing done, where the name is not given
  // this way: the entry is then made with Make, which says why.
  bool Claim(NewFile& written, std::string_view name);

 private:
  friend class NewFile;
  void Open();

  std::string prefix_;
  bool opened_ = false;
  FileHandle handle_ = kNoFile;           // Linux: the folder's handle
  std::uint32_t openError_ = 0;           // Linux: why it could not be opened, for each Make
  unsigned char road_ = 0;                // the system's own code for the road it takes
  std::atomic<unsigned> temporaries_{0};  // temporary names given so far
};

}  // namespace platform

// The roads of a new file that the system will not take on cue: calls under
// the Linux layer fail, or are interrupted, through its table of calls. Each
// row runs a whole extract in a child process, with the real code above the
// replaced call, and looks at the message, the status and the folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/entry.h"
#include "nms_writer.h"
#include "platform/linux/calls.h"
#include "platform/linux/files.h"
#include "unwinding_end.h"

namespace {

using platform::linux_calls::Calls;
using platform::linux_calls::RealCalls;

const std::string kHeadings = "Bytes  Filename\n------ --------------------------------------\n";
const std::string kText = "int main(void) { return 0; }\n";  // 29 bytes, written as a.c

// The descriptors of the new file and of the disk file compared, once the
// program has opened them (on any of its threads).
std::atomic<int> gNewFile{-1};
std::atomic<int> gDiskFile{-1};
std::atomic<int> gNmsFile{-1};
// Non-zero: how the file system refuses a file without a name.
int gUnnamedRefusal = 0;

bool OpensForWriting(int flags) { return (flags & O_ACCMODE) == O_WRONLY; }

int OpenNoting(int folder, const char* path, int flags, mode_t mode) {
  if (OpensForWriting(flags) && (flags & O_TMPFILE) == O_TMPFILE && gUnnamedRefusal != 0) {
    errno = gUnnamedRefusal;
    return -1;
  }
  const int fd = RealCalls().openat(folder, path, flags, mode);
  if (OpensForWriting(flags)) gNewFile = fd;
  if (std::string_view(path).ends_with("/a.c")) gDiskFile = fd;
  if (std::string_view(path).ends_with(".nms"))
    gNmsFile = fd;
  else if (gNmsFile == fd)  // its number, given again once it is closed
    gNmsFile = -1;
  return fd;
}

// Failures to inject, each in the way a system reports them.
int CloseFailingForNewFile(int fd) {
  const int result = RealCalls().close(fd);
  if (fd != gNewFile) return result;
  errno = EIO;
  return -1;
}
ssize_t WriteNothing(int fd, const void* data, std::size_t size) {
  return fd == gNewFile ? 0 : RealCalls().write(fd, data, size);
}
ssize_t WriteInterruptedOnce(int fd, const void* data, std::size_t size) {
  static bool interrupted = false;
  if (fd != gNewFile || interrupted) return RealCalls().write(fd, data, size);
  interrupted = true;
  errno = EINTR;
  return -1;
}
ssize_t WriteThreeBytesAtATime(int fd, const void* data, std::size_t size) {
  return RealCalls().write(fd, data, fd == gNewFile && size > 3 ? 3 : size);
}
ssize_t WriteOutOfSpace(int fd, const void* data, std::size_t size) {
  if (fd != gNewFile) return RealCalls().write(fd, data, size);
  errno = ENOSPC;
  return -1;
}
ssize_t ReadHalf(int fd, void* buffer, std::size_t size) {
  return RealCalls().read(fd, buffer, fd == gDiskFile ? size / 2 : size);
}
ssize_t ReadFailing(int fd, void* buffer, std::size_t size) {
  if (fd != gDiskFile) return RealCalls().read(fd, buffer, size);
  errno = EIO;
  return -1;
}
// A large .nms file whose reading fails past its first part, whether it is
// read in one go or in parts by several threads (on a machine of one CPU).
ssize_t ReadingLargeFails(int fd, void* buffer, std::size_t size) {
  if (size < (std::size_t{32} << 20)) return RealCalls().read(fd, buffer, size);
  errno = EIO;
  return -1;
}
// The .nms file ends before its size: it shrank while being read.
ssize_t NmsEndsEarly(int fd, void* buffer, std::size_t size) {
  return RealCalls().read(fd, buffer, fd == gNmsFile ? 0 : size);
}
template <int kError>
ssize_t LaterPartsFail(int fd, void* buffer, std::size_t size, off_t offset) {
  if (offset == 0) return RealCalls().pread(fd, buffer, size, offset);
  errno = kError;
  return kError == 0 ? 0 : -1;
}

// The run is ended by a signal between two pieces of the text.
ssize_t WriteThenTerminated(int fd, const void* data, std::size_t size) {
  if (fd != gNewFile) return RealCalls().write(fd, data, size);
  RealCalls().write(fd, data, 3);
  raise(SIGTERM);
  return 3;
}
// Another program takes the name between the check and the naming.
void TheyTake(int folder, const char* name) {
  if (std::string_view(name) != "a.c") return;
  const int theirs = RealCalls().openat(folder, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
  RealCalls().write(theirs, "theirs", 6);
  RealCalls().close(theirs);
}
int LinkAfterSomeoneElse(int fromDirectory, const char* from, int toDirectory, const char* to,
                         int flags) {
  TheyTake(toDirectory, to);
  return RealCalls().linkat(fromDirectory, from, toDirectory, to, flags);
}
int RenameAfterSomeoneElse(int fromFolder, const char* from, int toFolder, const char* to,
                           unsigned flags) {
  TheyTake(toFolder, to);
  return RealCalls().renameat2(fromFolder, from, toFolder, to, flags);
}
template <int kError>
int RenameRefused(int /*from*/, const char* /*from*/, int /*to*/, const char* /*to*/, unsigned) {
  errno = kError;
  return -1;
}
int LinkRefused(int /*from*/, const char* /*from*/, int /*to*/, const char* /*to*/, int /*flags*/) {
  errno = EPERM;
  return -1;
}
// Linux before 6.10 lets only a privileged user name an open file itself.
int LinkOnlyThroughProc(int fromDirectory, const char* from, int toDirectory, const char* to,
                        int flags) {
  if ((flags & AT_EMPTY_PATH) != 0) {
    errno = ENOENT;
    return -1;
  }
  return RealCalls().linkat(fromDirectory, from, toDirectory, to, flags);
}

// Writes of one size fail, on whichever thread they are made.
template <int kError, std::size_t kSize>
ssize_t WriteFailingAtSize(int fd, const void* data, std::size_t size) {
  if (size != kSize) return RealCalls().write(fd, data, size);
  errno = kError;
  return -1;
}

// The system starts no thread (a process limit, no memory for a stack).
int ThreadRefused(pthread_t* /*thread*/, const pthread_attr_t* /*attributes*/,
                  void* (* /*body*/)(void*), void* /*argument*/) {
  return EAGAIN;
}

// Four CPUs online, all granted and free, as a tree of the test's own says:
// QUARROW_WORKERS=3 then starts three threads on any machine.
long FourCpusOnline(int name) {
  return name == _SC_NPROCESSORS_ONLN ? 4 : RealCalls().sysconf(name);
}
void GrantFourCpus(const std::filesystem::path& tree) {
  std::filesystem::create_directories(tree / "proc/self");
  std::ofstream(tree / "proc/self/status") << "Cpus_allowed_list:\t0-3\n";
  std::ofstream(tree / "proc/stat") << "cpu  1 2 3\nprocs_running 1\n";
  static const std::string root = tree.string();
  Calls().cpuTreeRoot = root.c_str();
  Calls().sysconf = FourCpusOnline;
}

// Threads started, counted; the third leaves a mark.
std::atomic<int> gThreadsStarted{0};
std::string gThirdThreadMark;
int ThreadCounted(pthread_t* thread, const pthread_attr_t* attributes, void* (*body)(void*),
                  void* argument) {
  if (++gThreadsStarted == 3)
    RealCalls().close(
        RealCalls().openat(AT_FDCWD, gThirdThreadMark.c_str(), O_WRONLY | O_CREAT, 0600));
  return RealCalls().pthread_create(thread, attributes, body, argument);
}

// No thread may be started at all: starting one ends the run with 98.
int ThreadForbidden(pthread_t* /*thread*/, const pthread_attr_t* /*attributes*/,
                    void* (* /*body*/)(void*), void* /*argument*/) {
  _exit(98);
}

// Every read of a disk file fails, slowly on the main thread, so that the
// others meet failures ahead of it; the .nms file reads as it is.
ssize_t SourceReadsFail(int fd, void* buffer, std::size_t size) {
  if (fd == gNmsFile) return RealCalls().read(fd, buffer, size);
  if (gettid() == getpid()) usleep(2000);
  errno = EIO;
  return -1;
}

// The file opened for the 20th entry is another than the one looked at: swapped
// for another file, or for a FIFO, in the moment between the look and the open.
std::atomic<int> gTwentieth{-1};
int OpenNotingTheTwentieth(int folder, const char* path, int flags, mode_t mode) {
  const int fd = RealCalls().openat(folder, path, flags, mode);
  if (std::string_view(path).ends_with("/20.c")) gTwentieth = fd;
  return fd;
}
template <bool kFifo>
int FstatSwapped(int fd, struct stat* info) {
  const int result = RealCalls().fstat(fd, info);
  int twentieth = fd;  // once: its number is free again once it is closed
  if (gTwentieth.compare_exchange_strong(twentieth, -1)) {
    if (kFifo)
      info->st_mode = S_IFIFO | 0644;
    else
      ++info->st_ino;
  }
  return result;
}

// Only the threads beside the main one meet the limit of open files. The
// main thread opens slowly, so that the others have entries to fail.
int OpenFailingOffTheMainThread(int folder, const char* path, int flags, mode_t mode) {
  if (gettid() == getpid()) {
    usleep(200);
    return RealCalls().openat(folder, path, flags, mode);
  }
  errno = EMFILE;
  return -1;
}

// Unnamed files open at once: more than the bound ends the run with 98; the
// bound reached leaves a mark, to show that the threads ran as far ahead as
// they may.
int gBound = 0;
std::string gReachedMark;
std::atomic<int> gUnnamedOpen{0};
std::array<std::atomic<bool>, 1024> gIsUnnamed{};
int OpenCountingUnnamed(int folder, const char* path, int flags, mode_t mode) {
  const int fd = RealCalls().openat(folder, path, flags, mode);
  if (fd >= 0 && fd < 1024 && (flags & O_TMPFILE) == O_TMPFILE) {
    gIsUnnamed[static_cast<std::size_t>(fd)] = true;
    const int open = ++gUnnamedOpen;
    if (open > gBound) _exit(98);
    if (open == gBound)
      RealCalls().close(
          RealCalls().openat(AT_FDCWD, gReachedMark.c_str(), O_WRONLY | O_CREAT, 0600));
  }
  return fd;
}
int CloseCountingUnnamed(int fd) {
  if (fd >= 0 && fd < 1024 && gIsUnnamed[static_cast<std::size_t>(fd)].exchange(false))
    --gUnnamedOpen;
  return RealCalls().close(fd);
}
// Naming waits (20 ms at most) for the threads to run as far ahead as they
// may, however busy the machine.
int LinkSlowly(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  for (int waited = 0; waited < 200 && gUnnamedOpen < gBound; ++waited) usleep(100);
  return RealCalls().linkat(fromFolder, from, toFolder, to, flags);
}

struct Row {
  const char* name;
  std::function<void()> inject;
  std::string out;
  int status;      // 128 + the signal number when one ended the run
  std::string aC;  // what a.c holds afterwards; empty: there is no a.c
  enum { Both, UnnamedOnly, TemporaryOnly } road = Both;
};

std::string Written() { return kHeadings + "    29 a.c -- extracted to \n"; }
std::string Failed(const std::string& error, const char* what) {
  return kHeadings + "    29 a.c ERROR " + error + " " + what + " file 'a.c'" +
         (std::string(what) == "opening" ? " for write\n" : "\n");
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"a write interrupted by a signal goes on", [] { Calls().write = WriteInterruptedOnce; },
       Written(), 0, kText},
      {"short writes go on", [] { Calls().write = WriteThreeBytesAtATime; }, Written(), 0, kText},
      {"an ordinary user on an older system names the file through /proc",
       [] { Calls().linkat = LinkOnlyThroughProc; }, Written(), 0, kText, Row::UnnamedOnly},
      {"a write that moves nothing fails", [] { Calls().write = WriteNothing; },
       Failed("5. (Input/output error)", "writing"), 1, ""},
      {"a write that fails", [] { Calls().write = WriteOutOfSpace; },
       Failed("28. (No space left on device)", "writing"), 1, ""},
      {"a close that fails", [] { Calls().close = CloseFailingForNewFile; },
       Failed("5. (Input/output error)", "writing"), 1, ""},
      {"the name taken before the naming",
       [] {
         Calls().linkat = LinkAfterSomeoneElse;
         Calls().renameat2 = RenameAfterSomeoneElse;
       },
       Failed("17. (File exists)", "opening"), 1, "theirs"},
      {"where a rename cannot refuse to replace, a link and an unlink publish",
       [] { Calls().renameat2 = RenameRefused<EINVAL>; }, Written(), 0, kText, Row::TemporaryOnly},
      {"a rename that fails", [] { Calls().renameat2 = RenameRefused<EIO>; },
       Failed("5. (Input/output error)", "opening"), 1, "", Row::TemporaryOnly},
      {"where neither a rename nor a link is taken (FAT through FUSE), under its own name",
       [] {
         Calls().renameat2 = RenameRefused<EINVAL>;
         Calls().linkat = LinkRefused;
       },
       Written(), 0, kText, Row::TemporaryOnly},
      {"there, a signal during the write",
       [] {
         Calls().renameat2 = RenameRefused<EINVAL>;
         Calls().linkat = LinkRefused;
         Calls().write = WriteThenTerminated;
       },
       "", 128 + SIGTERM, "", Row::TemporaryOnly},
      // Standard output was still in its buffer: nothing had been finished.
      {"a signal during the write", [] { Calls().write = WriteThenTerminated; }, "", 128 + SIGTERM,
       ""},
  };
  return rows;
}

class NewFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarrow-new-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    std::ofstream(folder_ / "one.nms", std::ios::binary)
        << nmswriter::BuildNms({{"src\\a.c", kText}});
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Runs `extract one.nms /OutDir=` (or other words) in a child, in the
  // folder, with four CPUs granted and the injection made there, ended as
  // the program ends; returns its status and standard output.
  std::pair<int, std::string> ExtractInChild(const std::function<void()>& inject,
                                             std::vector<std::string> words = {
                                                 "quarrow", "extract", "../one.nms", "/OutDir="}) {
    const auto outPath = folder_ / "stdout";
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, STDOUT_FILENO);
      if (chdir((folder_ / "out").c_str()) != 0) _exit(99);
      Calls().openat = OpenNoting;
      GrantFourCpus(folder_ / "cpus");
      inject();
      std::vector<char*> argv;
      for (std::string& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      nmstest::gEndAsTheProgramEnds = true;  // nothing on the stack cleans up
      app::RunQuarrow(static_cast<int>(words.size()), argv.data());
      _exit(97);  // the program always ends through its end of process
    }
    int waited = 0;
    waitpid(child, &waited, 0);
    std::ifstream in(outPath);
    std::ostringstream out;
    out << in.rdbuf();
    return {WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited), out.str()};
  }

  void RunRows(const char* road) {
    for (const Row& row : Rows()) {
      if (row.road == (gUnnamedRefusal != 0 ? Row::UnnamedOnly : Row::TemporaryOnly)) continue;
      SCOPED_TRACE(std::string(road) + ": " + row.name);
      std::filesystem::remove_all(folder_ / "out");
      std::filesystem::create_directory(folder_ / "out");
      const auto [status, out] = ExtractInChild(row.inject);
      EXPECT_EQ(out, row.out);
      EXPECT_EQ(status, row.status);
      const std::vector<std::string> expectedFiles =
          row.aC.empty() ? std::vector<std::string>{} : std::vector<std::string>{"a.c"};
      std::vector<std::string> files;
      for (const auto& entry : std::filesystem::directory_iterator(folder_ / "out"))
        files.push_back(entry.path().filename().string());
      EXPECT_EQ(files, expectedFiles);
      if (!row.aC.empty()) {
        std::ifstream in(folder_ / "out" / "a.c");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), row.aC);
      }
    }
  }

  std::filesystem::path folder_;
};

TEST_F(NewFile, EachFailureOfTheUnnamedRoadLeavesNothingUnderTheName) {
  gUnnamedRefusal = 0;
  RunRows("unnamed");
}

// File systems that cannot hold a file without a name (vfat, some network
// file systems) refuse in one of three ways; the file is then written under
// a temporary name, removed on every failure and every ending signal, and
// published under its real name when whole.
TEST_F(NewFile, WhereUnnamedFilesAreRefusedTheTemporaryRoadKeepsTheSamePromises) {
  for (const int refusal : {EOPNOTSUPP, EISDIR, EINVAL}) {
    gUnnamedRefusal = refusal;
    RunRows(strerror(refusal));
  }
  gUnnamedRefusal = 0;
}

TEST_F(NewFile, AnyOtherRefusalOfAnUnnamedFileIsTheCreationsFailure) {
  gUnnamedRefusal = EACCES;
  std::filesystem::create_directory(folder_ / "out");
  const auto [status, out] = ExtractInChild([] {});
  EXPECT_EQ(out, Failed("13. (Permission denied)", "opening"));
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(std::filesystem::is_empty(folder_ / "out"));
  gUnnamedRefusal = 0;
}

// FAT through FUSE: the kernel refuses a name that is taken before the file
// system refuses every rename that will not replace, and every link.
int RenameOnFat(int /*from*/, const char* /*from*/, int folder, const char* to, unsigned) {
  struct stat taken {};
  errno = RealCalls().fstatat(folder, to, &taken, AT_SYMLINK_NOFOLLOW) == 0 ? EEXIST : EINVAL;
  return -1;
}
int LinkOnFat(int /*from*/, const char* /*from*/, int folder, const char* to, int /*flags*/) {
  struct stat taken {};
  errno = RealCalls().fstatat(folder, to, &taken, AT_SYMLINK_NOFOLLOW) == 0 ? EEXIST : EPERM;
  return -1;
}

// Links planted at the temporary names the run will take (its process id is
// known before it starts) are never followed, and, on FAT through FUSE, tell
// nothing of what the file system takes: the run takes other names, and
// what the links point to stays as it was.
TEST_F(NewFile, LinksPlantedAtTemporaryNamesAreNeverFollowedNorMislead) {
  gUnnamedRefusal = EOPNOTSUPP;
  std::ofstream(folder_ / "theirs") << "theirs";
  for (const bool onFat : {false, true}) {
    std::filesystem::remove_all(folder_ / "out");
    std::filesystem::create_directory(folder_ / "out");
    const auto [status, out] = ExtractInChild([this, onFat] {
      for (int serial : {1, 3})  // the probe's first name, and its second's
        std::filesystem::create_symlink(
            folder_ / "theirs",
            "quarrow-partial-" + std::to_string(getpid()) + "-" + std::to_string(serial) + ".tmp");
      if (!onFat) return;
      Calls().renameat2 = RenameOnFat;
      Calls().linkat = LinkOnFat;
    });
    EXPECT_EQ(std::pair(status, out), std::pair(0, Written())) << onFat;
    std::ifstream aC(folder_ / "out" / "a.c");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aC), {}), kText);
  }
  gUnnamedRefusal = 0;
  std::ifstream theirs(folder_ / "theirs");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(theirs), {}), "theirs");
}

// A disk file that yields less than its size differs; a failed read ends the run.
TEST_F(NewFile, ComparedFilesThatEndEarlyDifferAndFailedReadsEndTheRun) {
  std::filesystem::create_directories(folder_ / "out/src");
  std::ofstream(folder_ / "out/src/a.c") << kText;
  for (const auto& [read, out, status] :
       {std::tuple(&ReadHalf, "             DIFFERENT src\\a.c\n", 0),
        std::tuple(&ReadFailing, "ERROR 5. (Input/output error) reading file 'src\\a.c'\n", 1)})
    EXPECT_EQ(ExtractInChild([read = read] { Calls().read = read; },
                             {"quarrow", "compare", "../one.nms"}),
              std::pair(status, std::string(out)));
}

// Threads writing ahead (three, whatever the run's size) meet failures in
// the middle of a run; the output, the status and the files left are those
// of the run on one thread: it stops at the same entry, with the same words.
TEST_F(NewFile, FailuresInTheMiddleEndARunWorkingAheadWhereTheyEndItOnOneThread) {
  std::vector<nmswriter::Source> sources;
  for (std::size_t index = 1; index <= 40; ++index)
    sources.push_back({"src\\" + std::to_string(index) + ".c", std::string(index, 'x')});
  std::ofstream(folder_ / "many.nms", std::ios::binary) << nmswriter::BuildNms(sources);
  const std::vector<std::pair<const char*, std::function<void()>>> failures = {
      {"a full disk at the 20th file", [] { Calls().write = WriteFailingAtSize<ENOSPC, 20>; }},
      {"a file size limit at the 20th", [] { Calls().write = WriteFailingAtSize<EFBIG, 20>; }},
      {"the 20th name taken", [] {}},
      {"too few descriptors for the files ahead",
       [] {
         const struct rlimit few { 12, 12 };
         setrlimit(RLIMIT_NOFILE, &few);
       }},
      {"no thread can be started", [] { Calls().pthread_create = ThreadRefused; }},
  };
  for (const auto& failure : failures) {
    const std::string_view name = failure.first;
    SCOPED_TRACE(failure.first);
    std::vector<std::tuple<int, std::string, std::vector<std::string>>> runs;
    for (const char* workers : {"0", "3"}) {
      std::filesystem::remove_all(folder_ / "out");
      std::filesystem::create_directory(folder_ / "out");
      if (name.ends_with("taken")) std::ofstream(folder_ / "out/20.c") << "theirs";
      const auto [status, out] = ExtractInChild(
          [&, workers = workers] {
            setenv("QUARROW_WORKERS", workers, 1);
            failure.second();
          },
          {"quarrow", "extract", "../many.nms", "/OutDir="});
      std::vector<std::string> files;
      for (const auto& entry : std::filesystem::directory_iterator(folder_ / "out"))
        files.push_back(entry.path().filename().string());
      std::sort(files.begin(), files.end());
      runs.emplace_back(status, out, files);
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_EQ(std::get<0>(runs[0]), name.starts_with("too few") || name.starts_with("no ") ? 0 : 1);
  }
}

// Compare working ahead meets what only its threads meet (too few
// descriptors for a file each, no thread at all) again on one thread: the
// output is one thread's. A file swapped between the look and the open is
// never read, on any thread.
TEST_F(NewFile, CompareWorkingAheadPrintsWhatOneThreadPrints) {
  std::vector<nmswriter::Source> sources;
  std::string sameReport;
  std::filesystem::create_directories(folder_ / "out/src");
  for (std::size_t index = 1; index <= 40; ++index) {
    const std::string name = std::to_string(index) + ".c";
    sources.push_back({"src\\" + name, std::string(index, 'x')});
    std::ofstream(folder_ / "out/src" / name) << std::string(index, index % 7 == 0 ? 'y' : 'x');
    sameReport +=
        std::string(index % 7 == 0 ? "             DIFFERENT" : "                  same") +
        " src\\" + name + "\n";
  }
  std::ofstream(folder_ / "many.nms", std::ios::binary) << nmswriter::BuildNms(sources);
  std::string swappedReport = sameReport;
  swappedReport.replace(swappedReport.find("                  same src\\20.c"), 22,
                        "  FILE/PATH_NOT_FOUND!");
  using Report = std::pair<int, std::string>;
  const std::vector<std::tuple<const char*, std::function<void()>, Report>> rows = {
      {"too many files open for the threads to open one more",
       [] { Calls().openat = OpenFailingOffTheMainThread; }, Report(0, sameReport)},
      {"no thread can be started", [] { Calls().pthread_create = ThreadRefused; },
       Report(0, sameReport)},
      {"reads that fail leave no file open for the one thread that meets them again",
       [] {
         const struct rlimit few { 8, 8 };
         setrlimit(RLIMIT_NOFILE, &few);
         Calls().read = SourceReadsFail;
       },
       Report(1, "ERROR 5. (Input/output error) reading file 'src\\1.c'\n")},
      {"another file opened than looked at",
       [] {
         Calls().openat = OpenNotingTheTwentieth;
         Calls().fstat = FstatSwapped<false>;
       },
       Report(0, swappedReport)},
      {"a FIFO opened where a file was looked at",
       [] {
         Calls().openat = OpenNotingTheTwentieth;
         Calls().fstat = FstatSwapped<true>;
       },
       Report(0, swappedReport)},
  };
  for (const auto& [name, inject, report] : rows) {
    for (const char* workers : {"0", "3"}) {
      SCOPED_TRACE(std::string(name) + ", QUARROW_WORKERS=" + workers);
      EXPECT_EQ(ExtractInChild(
                    [&inject = inject, workers = workers] {
                      setenv("QUARROW_WORKERS", workers, 1);
                      inject();
                    },
                    {"quarrow", "compare", "../many.nms"}),
                report);
    }
  }
}

// Work ahead, on the three threads QUARROW_WORKERS=3 asks for, stays within
// its bounds: at most 64 entries, and 16 MiB of texts, from the one being
// named on, however slowly the naming goes.
TEST_F(NewFile, FilesWrittenAheadStayWithinTheBounds) {
  for (const auto& [count, size, bound] :
       {std::tuple(200, std::size_t{10}, 64), std::tuple(40, std::size_t{1} << 20, 16)}) {
    SCOPED_TRACE(count);
    std::vector<nmswriter::Source> sources;
    for (int index = 0; index < count; ++index)
      sources.push_back({std::to_string(index) + ".c", std::string(size, 'x')});
    std::ofstream(folder_ / "many.nms", std::ios::binary) << nmswriter::BuildNms(sources);
    std::filesystem::remove_all(folder_ / "out");
    std::filesystem::create_directory(folder_ / "out");
    gBound = bound;
    gReachedMark = (folder_ / "reached").string();
    std::filesystem::remove(gReachedMark);
    gThirdThreadMark = (folder_ / "three threads").string();
    std::filesystem::remove(gThirdThreadMark);
    const auto [status, out] = ExtractInChild(
        [] {
          setenv("QUARROW_WORKERS", "3", 1);
          Calls().openat = OpenCountingUnnamed;
          Calls().close = CloseCountingUnnamed;
          Calls().linkat = LinkSlowly;
          Calls().pthread_create = ThreadCounted;
        },
        {"quarrow", "extract", "../many.nms", "/OutDir="});
    EXPECT_EQ(status, 0) << "more than " << bound << " files ahead";
    EXPECT_TRUE(std::filesystem::exists(gReachedMark)) << "never " << bound << " files ahead";
    EXPECT_TRUE(std::filesystem::exists(gThirdThreadMark)) << "fewer than three threads";
  }
}

// The parts of a load tile the file: in order, none empty, from its first
// byte to its last, whole huge pages but the last, at most one a thread. At
// and around every multiple of huge pages times parts (64 MiB, where two
// parts begin, among them), the largest .nms, and sizes drawn at random.
TEST(PartsOfALoad, TileTheFileExactly) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  std::vector<std::size_t> sizes = {0, 1, (std::size_t{4} << 30) - 1};
  for (std::size_t parts = 1; parts <= 4; ++parts)
    for (std::size_t multiple = 1; multiple <= 80; ++multiple)
      for (std::size_t near = 0; near <= 2 * parts; ++near)
        sizes.push_back(multiple * kHugePage * parts + near - parts);
  std::mt19937_64 random(20261209);
  for (int drawn = 0; drawn < 20000; ++drawn) sizes.push_back(random() % (std::size_t{4} << 30));
  for (const std::size_t size : sizes) {
    for (std::size_t parts = 1; parts <= 4; ++parts) {
      const auto ranges = platform::linux_files::SplitIntoParts(size, parts, kHugePage);
      SCOPED_TRACE(std::to_string(size) + " in " + std::to_string(parts));
      ASSERT_LE(ranges.size(), parts);
      std::size_t end = 0;
      for (const auto& range : ranges) {
        ASSERT_EQ(range.offset, end);
        ASSERT_GT(range.size, 0u);
        ASSERT_TRUE(&range == &ranges.back() || range.size % kHugePage == 0);
        end += range.size;
      }
      ASSERT_EQ(end, size);
    }
  }
}

// One part of the .nms file that fails, or ends early, fails the whole load,
// and so does a file read in one piece that ends early;
// a thread that cannot be started fails nothing.
TEST_F(NewFile, ALoadFailsWhenAnyPartOfItFails) {
  std::ofstream(folder_ / "large.nms", std::ios::binary)
      << nmswriter::BuildNms({{"src\\a.c", std::string(std::size_t{80} << 20, 'x')}});
  std::filesystem::create_directory(folder_ / "out");
  for (const auto pread : {&LaterPartsFail<EIO>, &LaterPartsFail<0>})
    EXPECT_EQ(ExtractInChild(
                  [pread = pread] {
                    Calls().read = ReadingLargeFails;
                    Calls().pread = pread;
                  },
                  {"quarrow", "list", "../large.nms"}),
              std::pair(1, std::string("Couldn't read .nms file")));
  EXPECT_EQ(ExtractInChild([] { Calls().read = NmsEndsEarly; }, {"quarrow", "list", "../one.nms"}),
            std::pair(1, std::string("Couldn't read .nms file")));
  // Where no thread can be started, the parts are read on this one; where
  // QUARROW_WORKERS=0, no thread is started.
  const auto listed =
      std::pair(0, std::string("Bytes  Pathname\n------ --------------------------------------\n"
                               "83886080 src\\a.c\n"));
  EXPECT_EQ(ExtractInChild([] { Calls().pthread_create = ThreadRefused; },
                           {"quarrow", "list", "../large.nms"}),
            listed);
  EXPECT_EQ(ExtractInChild(
                [] {
                  setenv("QUARROW_WORKERS", "0", 1);
                  Calls().pthread_create = ThreadForbidden;
                },
                {"quarrow", "list", "../large.nms"}),
            listed);
}

// A finished file has the mode a plain create gives: 0666 less the umask.
TEST_F(NewFile, AFinishedFileHasTheModeOfAPlainCreate) {
  for (const int refusal : {0, EOPNOTSUPP}) {
    gUnnamedRefusal = refusal;
    std::filesystem::remove_all(folder_ / "out");
    std::filesystem::create_directory(folder_ / "out");
    const mode_t previous = umask(027);
    const auto [status, out] = ExtractInChild([] {});
    umask(previous);
    EXPECT_EQ(status, 0) << out;
    struct stat info {};
    ASSERT_EQ(stat((folder_ / "out" / "a.c").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u) << refusal;
  }
  gUnnamedRefusal = 0;
}

}  // namespace

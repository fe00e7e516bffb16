// The roads of a new file that Windows will not take on cue: calls under the
// Windows layer fail, or end the process, through its table of calls. Each
// row runs a whole extract in a child process (a death test: the test
// program started again), with the real code above the replaced call, and
// looks at the message, the status and the folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "nms_writer.h"
#include "platform/files.h"
#include "platform/win32/calls.h"
#include "unwinding_end.h"

namespace {

using platform::win32_calls::Calls;
using platform::win32_calls::RealCalls;

const std::string kHeadings = "Bytes  Filename\n------ --------------------------------------\n";
const std::string kText = "int main(void) { return 0; }\n";  // 29 bytes, written as a.c

// The file the run writes a.c into (a temporary, or a.c itself), once
// something has been written to it.
std::atomic<HANDLE> gNewFile{INVALID_HANDLE_VALUE};
bool IsNewFile(HANDLE file) { return file == gNewFile.load(); }

BOOL WINAPI WriteNoting(HANDLE file, LPCVOID data, DWORD size, LPDWORD put, LPOVERLAPPED at) {
  if (GetFileType(file) == FILE_TYPE_DISK) gNewFile = file;
  return RealCalls().WriteFile(file, data, size, put, at);
}

// Failures to inject, each in the way Windows reports them.
BOOL WINAPI WriteNothing(HANDLE file, LPCVOID data, DWORD size, LPDWORD put, LPOVERLAPPED at) {
  if (GetFileType(file) != FILE_TYPE_DISK) return RealCalls().WriteFile(file, data, size, put, at);
  *put = 0;
  return TRUE;
}
BOOL WINAPI WriteToAFullDisk(HANDLE file, LPCVOID data, DWORD size, LPDWORD put, LPOVERLAPPED at) {
  if (GetFileType(file) != FILE_TYPE_DISK) return RealCalls().WriteFile(file, data, size, put, at);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}
BOOL WINAPI CloseFailingForNewFile(HANDLE file) {
  const BOOL closed = RealCalls().CloseHandle(file);
  if (!IsNewFile(file)) return closed;
  SetLastError(ERROR_NETNAME_DELETED);
  return FALSE;
}
// The mark or the rename refused with `kError`; the other set as asked.
template <FILE_INFO_BY_HANDLE_CLASS kRefused, DWORD kError>
BOOL WINAPI SetInformationRefused(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data,
                                  DWORD size) {
  if (kind != kRefused) return RealCalls().SetFileInformationByHandle(file, kind, data, size);
  SetLastError(kError);
  return FALSE;
}
// Another program takes the name a.c while the text is written.
BOOL WINAPI RenameAfterSomeoneElse(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data,
                                   DWORD size) {
  if (kind == FileRenameInfo) std::ofstream("a.c") << "theirs";
  return RealCalls().SetFileInformationByHandle(file, kind, data, size);
}
std::thread* NoThread(const std::function<void()>& /*body*/) { return nullptr; }

// Ends the process as a kill does (Task Manager, taskkill /f) right after
// call number gEndAfter of the layer's calls, counted from the first, and
// notes which call it was in the file gEndedNote.
int gEndAfter = 0;
std::string gEndedNote;
std::atomic<int> gCalls{0};
void CountAndEnd(const char* call) {
  if (++gCalls != gEndAfter) return;
  std::ofstream(gEndedNote) << call;
  TerminateProcess(GetCurrentProcess(), 99);
}
using Table = platform::win32_calls::SystemCalls;
template <auto kCall, typename... Arguments>
auto Ending(const char* call, Arguments... arguments) {
  const auto result = (RealCalls().*kCall)(arguments...);
  CountAndEnd(call);
  return result;
}
void EndAfterEachCall() {
  Calls().CreateFileA = [](LPCSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f,
                           HANDLE g) {
    return Ending<&Table::CreateFileA>("create", a, b, c, d, e, f, g);
  };
  Calls().ReadFile = [](HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
    return Ending<&Table::ReadFile>("read", a, b, c, d, e);
  };
  Calls().WriteFile = [](HANDLE a, LPCVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
    return Ending<&Table::WriteFile>("write", a, b, c, d, e);
  };
  Calls().CloseHandle = [](HANDLE a) { return Ending<&Table::CloseHandle>("close", a); };
  Calls().SetFileInformationByHandle = [](HANDLE a, FILE_INFO_BY_HANDLE_CLASS b, LPVOID c,
                                          DWORD d) {
    const bool unmark =
        b == FileDispositionInfo && !static_cast<FILE_DISPOSITION_INFO*>(c)->DeleteFile;
    return Ending<&Table::SetFileInformationByHandle>(unmark ? "unmark" : "set", a, b, c, d);
  };
}

std::string Written() { return kHeadings + "    29 a.c -- extracted to \n"; }
std::string Failed(DWORD error, const char* what) {
  return kHeadings + "    29 a.c ERROR " + std::to_string(error) + ". (" +
         platform::ErrorMessage(error) + ") " + what + " file 'a.c'" +
         (std::string(what) == "opening" ? " for write\n" : "\n");
}

struct Row {
  const char* name;
  std::function<void()> inject;
  std::string out;
  int status;
  std::string aC;  // what a.c holds afterwards; empty: there is no a.c
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"a write that moves nothing fails", [] { Calls().WriteFile = WriteNothing; },
       Failed(ERROR_WRITE_FAULT, "writing"), 1, ""},
      {"a full disk", [] { Calls().WriteFile = WriteToAFullDisk; },
       Failed(ERROR_DISK_FULL, "writing"), 1, ""},
      // Whole, unmarked and closed, it stays: its name may be another's now.
      {"a close that fails", [] { Calls().CloseHandle = CloseFailingForNewFile; },
       Failed(ERROR_NETNAME_DELETED, "writing"), 1, kText},
      {"a refused rename",
       [] { Calls().SetFileInformationByHandle = SetInformationRefused<FileRenameInfo, 5>; },
       Failed(ERROR_ACCESS_DENIED, "opening"), 1, ""},
      {"the name taken before the rename",
       [] { Calls().SetFileInformationByHandle = RenameAfterSomeoneElse; },
       Failed(ERROR_FILE_EXISTS, "opening"), 1, "theirs"},
      {"a refused mark: under its own name",
       [] { Calls().SetFileInformationByHandle = SetInformationRefused<FileDispositionInfo, 1>; },
       Written(), 0, kText},
      {"no thread can be started", [] { Calls().NewThread = NoThread; }, Written(), 0, kText},
  };
  return rows;
}

class NewFile : public ::testing::Test {
 protected:
  // The child, started again, finds the folder its parent made.
  void SetUp() override {
    const char* const shared = std::getenv("QUARROW_TEST_FOLDER");
    if (shared != nullptr && *shared != '\0') {
      folder_ = shared;
      gEndedNote = (folder_ / "ended").string();
      return;
    }
    folder_ = std::filesystem::temp_directory_path() /
              ("quarrow-new-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(folder_);
    gEndedNote = (folder_ / "ended").string();
    _putenv_s("QUARROW_TEST_FOLDER", folder_.string().c_str());
    std::ofstream(folder_ / "one.nms", std::ios::binary)
        << nmswriter::BuildNms({{"src\\a.c", kText}});
  }
  void TearDown() override {
    _putenv_s("QUARROW_TEST_FOLDER", "");
    std::filesystem::remove_all(folder_);
  }

  // Runs `extract ..\one.nms /OutDir=` in a child, in a fresh folder out,
  // with the injection made there and QUARROW_WORKERS set, ended as the
  // program ends; returns its status and standard output.
  std::pair<int, std::string> ExtractInChild(const std::function<void()>& inject,
                                             const char* workers) {
    std::filesystem::remove_all(folder_ / "out");
    std::filesystem::create_directory(folder_ / "out");
    const std::string outPath = (folder_ / "stdout").string();
    int status = -1;
    EXPECT_EXIT(
        RunInChild(inject, workers, outPath),
        [&status](int exitCode) {
          status = exitCode;
          return true;
        },
        "");
    std::ifstream in(outPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return {status, out.str()};
  }

  // The child's run: the program's, with the injection made.
  void RunInChild(const std::function<void()>& inject, const char* workers,
                  const std::string& outPath) {
    std::freopen(outPath.c_str(), "wb", stdout);
    SetCurrentDirectoryA((folder_ / "out").string().c_str());
    _putenv_s("QUARROW_WORKERS", workers);
    Calls().WriteFile = WriteNoting;
    inject();
    std::vector<std::string> words = {"quarrow", "extract", "..\\one.nms", "/OutDir="};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    nmstest::gEndAsTheProgramEnds = true;  // nothing on the stack cleans up
    app::RunQuarrow(static_cast<int>(words.size()), argv.data());
    std::exit(97);  // the program always ends through its end of process
  }

  std::vector<std::string> FilesOut() const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder_ / "out"))
      files.push_back(entry.path().filename().string());
    return files;
  }
  std::string Read(const char* name) const {
    std::ifstream in(folder_ / "out" / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path folder_;
};

TEST_F(NewFile, EachFailureLeavesNothingUnderTheName) {
  for (const Row& row : Rows()) {
    for (const char* workers : {"0", "3"}) {
      SCOPED_TRACE(std::string(row.name) + ", QUARROW_WORKERS=" + workers);
      EXPECT_EQ(ExtractInChild(row.inject, workers), std::pair(row.status, row.out));
      EXPECT_EQ(FilesOut(),
                row.aC.empty() ? std::vector<std::string>{} : std::vector<std::string>{"a.c"});
      if (!row.aC.empty()) {
        EXPECT_EQ(Read("a.c"), row.aC);
      }
    }
  }
}

// The process ends after each of the layer's calls in turn, as a kill would
// end it there: nothing stands under the stored name but the whole file, and
// no temporary is left, but one made in the moment before its mark.
TEST_F(NewFile, AProcessEndedAfterAnyCallLeavesNoPartialFile) {
  // A death test's child runs the test again up to its own row: nothing here
  // may depend on what an earlier child did. A whole run makes fewer calls
  // than the last rows, which run to the end.
  constexpr int kRuns = 30;
  for (const char* workers : {"0", "3"}) {
    for (gEndAfter = 1; gEndAfter <= kRuns; ++gEndAfter) {
      SCOPED_TRACE(std::string("ended after call ") + std::to_string(gEndAfter) +
                   ", QUARROW_WORKERS=" + workers);
      const auto [status, out] = ExtractInChild(EndAfterEachCall, workers);
      if (gEndAfter == kRuns) {
        EXPECT_EQ(std::pair(status, out), std::pair(0, Written()));
      }
      std::ifstream noted(gEndedNote);
      const std::string after =
          status == 99 ? std::string(std::istreambuf_iterator<char>(noted), {}) : "";
      for (const std::string& file : FilesOut()) {
        const std::string held = Read(file.c_str());
        if (file == "a.c" || (after == "unmark" && held == kText)) {
          EXPECT_EQ(held, kText) << file << " after " << after;
        } else {  // a temporary made in the moment before its mark
          EXPECT_EQ(held, "") << file << " after " << after;
        }
      }
    }
  }
}

}  // namespace

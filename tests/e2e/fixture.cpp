#include "fixture.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace e2e {

void Scratch::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quarrow-e2e-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  folder_ = pattern;
}

void Scratch::TearDown() {
  std::error_code ignored;
  std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(folder_, ignored);
}

void Scratch::Write(const std::string& path, const std::string& contents) {
  const auto full = folder_ / path;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary) << contents;
}

std::string Scratch::Read(const std::string& path) const {
  std::ifstream in(folder_ / path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool Scratch::Exists(const std::string& path) const {
  return std::filesystem::exists(std::filesystem::symlink_status(folder_ / path));
}

void Scratch::WriteNms(const std::string& path, const std::vector<nmswriter::Source>& sources) {
  Write(path, nmswriter::BuildNms(sources));
}

std::vector<std::string> Scratch::Files() const {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_))
    if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(folder_).string());
  std::sort(files.begin(), files.end());
  return files;
}

Outcome Scratch::Quarrow(const std::vector<std::string>& arguments) {
  return RunProgram({arguments, folder_.string(), std::nullopt, false});
}

Outcome Scratch::QuarrowWithInput(const std::vector<std::string>& arguments,
                                  const std::string& input, bool mergeStreams) {
  return RunProgram({arguments, folder_.string(), input, mergeStreams});
}

std::vector<std::string> Scratch::FilesOpenedUnderWine(const std::vector<std::string>& arguments) {
  setenv("WINEDEBUG", "+pid,+relay", 1);
  const Outcome traced = Quarrow(arguments);
  setenv("WINEDEBUG", "-all", 1);
  // Lines such as: 0020:0024:Call KERNEL32.CreateFileA(0021fb10 "a\\\\b.c",80000000,...),
  // the process and thread first, with a string's backslashes doubled. Wine's
  // own services, starting in a fresh prefix, trace their calls too: only the
  // process that opens the .nms file, the program, is counted.
  struct Opened {
    std::string process;
    std::string name;
  };
  std::vector<Opened> opened;
  const std::string call = "Call KERNEL32.CreateFile";
  for (auto at = traced.err.find(call); at != std::string::npos;
       at = traced.err.find(call, at + 1)) {
    const auto lineStart = traced.err.rfind('\n', at) + 1;  // npos + 1 is 0
    const auto open = traced.err.find('"', at) + 1;
    std::string name = traced.err.substr(open, traced.err.find("\",", open) - open);
    for (auto doubled = name.find("\\\\"); doubled != std::string::npos;
         doubled = name.find("\\\\", doubled + 1))
      name.erase(doubled, 1);
    opened.push_back(
        {traced.err.substr(lineStart, traced.err.find(':', lineStart) - lineStart), name});
  }
  const std::string nmsFile = arguments.size() > 1 ? arguments[1] : "";
  const auto program = std::find_if(opened.begin(), opened.end(),
                                    [&](const Opened& one) { return one.name == nmsFile; });
  std::vector<std::string> names;
  for (const Opened& one : opened)
    if (program != opened.end() && one.process == program->process) names.push_back(one.name);
  return names;
}

std::string OnLane(const std::string& text) {
  if (!OnWindowsLane()) return text;
  std::string converted;
  for (const char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

void ExpectOutcome(const Outcome& outcome, const std::string& out, int status,
                   const std::string& errorsAfterBanner) {
  EXPECT_EQ(outcome.out, OnLane(out));
  EXPECT_EQ(outcome.status, status);
  const std::string banner = "Quarrow v0.9";
  ASSERT_EQ(outcome.err.substr(0, banner.size()), banner) << outcome.err;
  EXPECT_EQ(outcome.err.substr(outcome.err.find('\n') + 1), OnLane(errorsAfterBanner));
}

std::string ErrorPart(SystemError error) {
  struct Texts {
    const char* linux;
    const char* windows;
  };
  static const Texts kTexts[] = {
      {"2. (No such file or directory)", "2. (File not found.)"},
      {"2. (No such file or directory)", "3. (Path not found.)"},
      {"21. (Is a directory)", "5. (Access denied.)"},
      {"17. (File exists)", "80. (File exists.)"},
      {"40. (Too many levels of symbolic links)", "1921. (The filename cannot be resolved.)"},
  };
  const Texts& texts = kTexts[static_cast<int>(error)];
  return OnWindowsLane() ? texts.windows : texts.linux;
}

}  // namespace e2e

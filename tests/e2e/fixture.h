// A scratch folder per test, the files in it, and the checks of a run's
// exact output in the form of the lane it ran on.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nms_writer.h"
#include "run_program.h"

namespace e2e {

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Paths are relative to the scratch folder, which is the working directory.
  void Write(const std::string& path, const std::string& contents);
  std::string Read(const std::string& path) const;
  bool Exists(const std::string& path) const;
  void WriteNms(const std::string& path, const std::vector<nmswriter::Source>& sources);
  std::vector<std::string> Files() const;  // every regular file, sorted

  Outcome Quarrow(const std::vector<std::string>& arguments);
  Outcome QuarrowWithInput(const std::vector<std::string>& arguments, const std::string& input,
                           bool mergeStreams = false);

  // Windows lane: every path the program asks CreateFile for, in order, as
  // Wine's trace of the program's calls into the system shows them.
  std::vector<std::string> FilesOpenedUnderWine(const std::vector<std::string>& arguments);

  std::filesystem::path folder_;
};

// Text in the form the lane prints it: line feeds become CR LF on Windows.
std::string OnLane(const std::string& text);

// The exit status, the exact standard output, and the error stream after the
// banner line (whose attribution is free).
void ExpectOutcome(const Outcome& outcome, const std::string& out, int status,
                   const std::string& errorsAfterBanner = "");

// "N. (text)" of a system error as the lane reports it.
enum class SystemError { FileNotFound, PathNotFound, OpenDirectory, FileExists, LinkLoop };
std::string ErrorPart(SystemError error);

}  // namespace e2e

// Runs the built program as a user would, and captures what it says.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct Outcome {
  std::string out;  // standard output (both streams when merged)
  std::string err;
  int status = -1;  // the exit status; 128 + the signal number if one ended it
};

struct Run {
  std::vector<std::string> arguments;  // after the program name
  std::string directory;               // the working directory
  std::optional<std::string> input;    // standard input; empty when absent
  bool mergeStreams = false;           // error stream into standard output
};

// The program under test comes from QUARROW_PROGRAM; a Windows build (a
// .exe) runs under wine. It has no controlling terminal.
Outcome RunProgram(const Run& run);

// Runs a shell command line with QUARROW set to the program's path (Linux).
Outcome RunShell(const std::string& commandLine, const std::string& directory);

bool OnWindowsLane();

}  // namespace e2e

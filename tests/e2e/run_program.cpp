#include "run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace e2e {

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// A scratch folder for the captured streams, shared by all runs.
const std::filesystem::path& CaptureFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quarrow-capture-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(pattern);
  }();
  return folder;
}

Outcome Spawn(const std::vector<std::string>& command, const Run& run) {
  const auto inputPath = CaptureFolder() / "in";
  const auto outPath = CaptureFolder() / "out";
  const auto errPath = CaptureFolder() / "err";
  std::ofstream(inputPath, std::ios::binary) << run.input.value_or("");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, run.input ? inputPath.c_str() : "/dev/null",
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (run.mergeStreams)
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  posix_spawn_file_actions_addchdir_np(&actions, run.directory.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);  // no controlling terminal

  std::vector<char*> argv;
  std::vector<std::string> storage = command;
  for (std::string& word : storage) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int failed = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) throw std::runtime_error("cannot start " + command[0]);

  int waitStatus = 0;
  waitpid(child, &waitStatus, 0);
  Outcome outcome;
  outcome.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
  outcome.out = Slurp(outPath);
  if (!run.mergeStreams) outcome.err = Slurp(errPath);
  return outcome;
}

}  // namespace

bool OnWindowsLane() {
  const std::string program = Environment("QUARROW_PROGRAM");
  return program.size() > 4 && program.substr(program.size() - 4) == ".exe";
}

Outcome RunProgram(const Run& run) {
  const std::string program = Environment("QUARROW_PROGRAM");
  if (program.empty()) throw std::runtime_error("QUARROW_PROGRAM is not set");
  std::vector<std::string> command;
  if (OnWindowsLane()) command.push_back("wine");
  command.push_back(program);
  command.insert(command.end(), run.arguments.begin(), run.arguments.end());
  Outcome outcome = Spawn(command, run);
  // Now and then, under load, Wine fails to start a program at all (not
  // even the banner, which the program writes first, comes out), or its
  // loader fails an assertion of its own as the process ends. Such a run
  // says nothing of the program, so it is made again.
  const auto wineFailed = [&run](const Outcome& made) {
    return OnWindowsLane() &&
           ((made.out.empty() && made.err.empty() && !run.mergeStreams) ||
            (made.status == 127 &&
             made.err.find("Inconsistency detected by ld.so") != std::string::npos));
  };
  for (int retry = 0; retry < 2 && wineFailed(outcome); ++retry) {
    std::fprintf(stderr, "wine failed on its own (status %d); running again\n", outcome.status);
    outcome = Spawn(command, run);
  }
  return outcome;
}

Outcome RunShell(const std::string& commandLine, const std::string& directory) {
  setenv("QUARROW", Environment("QUARROW_PROGRAM").c_str(), 1);
  Run run;
  run.directory = directory;
  return Spawn({"/bin/sh", "-c", commandLine}, run);
}

}  // namespace e2e

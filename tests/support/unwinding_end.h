// In tests and the fuzz target the program's end of process throws this
// instead of exiting, so that a failure can be observed in process.
#pragma once

namespace nmstest {

struct ProcessEnded {
  int status;
};

// Set in a child process that runs the program's logic as the program runs
// it: the end of process then exits, as the program's does, and nothing on
// the stack is destroyed, so a failure path that forgot to clean up is seen.
extern bool gEndAsTheProgramEnds;

}  // namespace nmstest

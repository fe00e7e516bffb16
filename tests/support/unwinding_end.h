// In tests and the fuzz target the program's end of process throws this
// instead of exiting, so that a failure can be observed in process.
#pragma once

namespace nmstest {

struct ProcessEnded {
  int status;
};

}  // namespace nmstest

#include "unwinding_end.h"

#include <cstdio>
#include <cstdlib>

#include "app/report.h"

namespace nmstest {
bool gEndAsTheProgramEnds = false;
}

namespace app {

void EndProcess(int status) {
  std::fflush(stdout);
  if (nmstest::gEndAsTheProgramEnds) std::exit(status);
  throw nmstest::ProcessEnded{status};
}

}  // namespace app

#include "unwinding_end.h"

#include <cstdio>

#include "app/report.h"

namespace app {

void EndProcess(int status) {
  std::fflush(stdout);
  throw nmstest::ProcessEnded{status};
}

}  // namespace app

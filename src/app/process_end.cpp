// The program's end of process: flush, and never report success for output
// that could not be written.
#include <cstdio>
#include <cstdlib>

#include "app/report.h"

namespace app {

void EndProcess(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("Error writing to standard output\n", stderr);
    std::exit(1);
  }
  std::exit(status);
}

}  // namespace app

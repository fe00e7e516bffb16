// What the Linux endings offer beyond the contract of every system: job
// control, which Windows has not.
#pragma once

#include "platform/endings.h"

namespace platform::endings {

// Registers what the job must do when job control stops the run (SIGTSTP,
// SIGTTIN, SIGTTOU: before it stops) and continues it (SIGCONT), under the
// same rules as a put-right.
void PutRightOnPause(Job job, PutRight beforeStop, PutRight afterContinue);

}  // namespace platform::endings

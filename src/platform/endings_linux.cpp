// The signals that end a run, on Linux: one handler puts right what each job
// registered, then the process dies by the same signal.
#include <signal.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "platform/endings.h"

namespace platform::endings {

namespace {

// Signals that do not end the process by default, and those that the
// program's own faults raise (left to their default, so that a fault is
// never mistaken for an interruption). Every other catchable signal up to the
// last realtime one ends the process, and is handled.
constexpr int kNotEnding[] = {SIGCHLD, SIGCONT, SIGSTOP,  SIGTSTP, SIGTTIN,
                              SIGTTOU, SIGURG,  SIGWINCH, SIGKILL};
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};

bool EndsTheProcess(int signal_number) {
  const auto listed = [signal_number](const auto& list) {
    return std::find(std::begin(list), std::end(list), signal_number) != std::end(list);
  };
  return signal_number != SIGXFSZ && !listed(kNotEnding) && !listed(kFaults);
}

// Written only while every signal is blocked.
std::array<PutRight, static_cast<int>(Job::kCount)> gPutRights{};

extern "C" void PutRightAndDie(int signal_number) {
  for (const PutRight putRight : gPutRights)
    if (putRight != nullptr) putRight();
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered, by default, once the handler returns
}

sigset_t AllSignals() {
  sigset_t signals;
  sigfillset(&signals);
  return signals;
}

// Installed once, when first needed. A signal that was ignored when the
// program started (nohup, a shell's trap '') stays ignored. A file-size limit
// is not a way to end the run: the write past it fails (EFBIG) and takes the
// road of every failed write.
void HandleEndingSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = PutRightAndDie;
  action.sa_mask = AllSignals();
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
    if (!EndsTheProcess(signal_number)) continue;
    struct sigaction previous {};
    // Fails for the signals the C library keeps for itself; they are not sent to us.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
      sigaction(signal_number, &action, nullptr);
  }
}

thread_local int tHeldDepth = 0;
thread_local sigset_t tMaskBeforeHeld;

}  // namespace

void PutRightOnEnding(Job job, PutRight putRight) {
  {
    const Held held;
    gPutRights.at(static_cast<std::size_t>(job)) = putRight;
  }
  HandleEndingSignals();
}

Held::Held() {
  if (tHeldDepth++ > 0) return;
  const sigset_t all = AllSignals();
  sigprocmask(SIG_BLOCK, &all, &tMaskBeforeHeld);
}

Held::~Held() {
  if (--tHeldDepth > 0) return;
  sigprocmask(SIG_SETMASK, &tMaskBeforeHeld, nullptr);
}

}  // namespace platform::endings

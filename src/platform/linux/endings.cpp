// The signals that end or pause a run, on Linux. One handler puts right what
// each job registered, then the process dies by the same signal, with its
// default action (a fault still dumps core where cores are kept). Another
// lets each job give back what it holds before job control stops the run,
// and take it again when the run continues.
#include "platform/linux/endings.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>

namespace platform::endings {

namespace {

// Signals that do not end the process by default; SIGXFSZ, which the
// program ignores; and the stop signals of job control, handled on their
// own. Every other catchable signal up to the last realtime one ends the
// process, those of the program's own faults among them, and is handled.
constexpr int kNotEnding[] = {SIGCHLD, SIGCONT, SIGSTOP, SIGURG, SIGWINCH, SIGKILL, SIGXFSZ};
constexpr int kStops[] = {SIGTSTP, SIGTTIN, SIGTTOU};

bool Listed(const auto& list, int signal_number) {
  return std::find(std::begin(list), std::end(list), signal_number) != std::end(list);
}

constexpr auto kJobs = static_cast<std::size_t>(Job::kCount);

// Written only while every signal is blocked.
std::array<PutRight, kJobs> gPutRights{};
std::array<PutRight, kJobs> gBeforeStops{};
std::array<PutRight, kJobs> gAfterContinues{};

void CallAll(const std::array<PutRight, kJobs>& calls) {
  for (const PutRight call : calls)
    if (call != nullptr) call();
}

// Every signal is blocked while a handler runs, so a fault in a put-right
// cannot run the handler again: the system ends the process at once.
extern "C" void PutRightAndDie(int signal_number) {
  CallAll(gPutRights);
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered, by default, once the handler returns
}

sigset_t AllSignals() {
  sigset_t signals;
  sigfillset(&signals);
  return signals;
}

struct sigaction Handling(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = AllSignals();
  action.sa_flags = SA_RESTART;  // a key read goes on after a stop
  return action;
}

extern "C" void PutRightAndStop(int signal_number) {
  const int saved = errno;
  CallAll(gBeforeStops);
  // Stopped by the signal's own default, here, then handled again.
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);  // pending: every signal is blocked in a handler
  // cppcheck-suppress unreachableCode ; raise returns, since the signal is blocked
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);  // stopped until SIGCONT
  sigprocmask(SIG_BLOCK, &only, nullptr);
  const struct sigaction again = Handling(PutRightAndStop);
  sigaction(signal_number, &again, nullptr);
  // Also where no stop came (a stop signal is dropped in an orphaned
  // process group), and again on SIGCONT: taking back twice is harmless.
  CallAll(gAfterContinues);
  errno = saved;
}

extern "C" void TakeBackAfterContinue(int /*signal_number*/) {
  const int saved = errno;
  CallAll(gAfterContinues);
  errno = saved;
}

// Handles the signal unless it was ignored when the program started (nohup,
// a shell's trap ''): then it stays ignored. Fails for the signals the C
// library keeps for itself; they are not sent to us.
void Handle(int signal_number, void (*handler)(int)) {
  struct sigaction previous {};
  if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
  const struct sigaction action = Handling(handler);
  sigaction(signal_number, &action, nullptr);
}

// Installed once, when first needed. A file-size limit is not a way to end
// the run: the write past it fails (EFBIG) and takes the road of every
// failed write.
void HandleEndingSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  ::signal(SIGXFSZ, SIG_IGN);
  for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number)
    if (!Listed(kNotEnding, signal_number) && !Listed(kStops, signal_number))
      Handle(signal_number, PutRightAndDie);
}

void HandleJobControl() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int stop : kStops) Handle(stop, PutRightAndStop);
  Handle(SIGCONT, TakeBackAfterContinue);
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

void PutRightOnPause(Job job, PutRight beforeStop, PutRight afterContinue) {
  {
    const Held held;
    gBeforeStops.at(static_cast<std::size_t>(job)) = beforeStop;
    gAfterContinues.at(static_cast<std::size_t>(job)) = afterContinue;
  }
  HandleJobControl();
}

void LeaveInterruptKeyToPrompt(bool /*prompting*/) {}

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

// The console events that end a run, on Windows (Ctrl+C, Ctrl+Break, closing
// the console): one handler puts right what each job registered, then ends
// the process. The handler runs on a thread of its own; it waits for a
// holder to leave, and ends the process while still holding the guard.
#include "platform/endings.h"

#include <windows.h>

#include <array>

namespace platform::endings {

namespace {

CRITICAL_SECTION* Guard() {
  static CRITICAL_SECTION guard;
  static const bool ready = (InitializeCriticalSection(&guard), true);
  (void)ready;
  return &guard;
}

// Written only under the guard.
std::array<PutRight, static_cast<int>(Job::kCount)> gPutRights{};
volatile LONG gPrompting = 0;

BOOL WINAPI PutRightAndEnd(DWORD event) {
  if (event == CTRL_C_EVENT && gPrompting != 0) return TRUE;  // handled: the run goes on
  EnterCriticalSection(Guard());
  for (const PutRight putRight : gPutRights)
    if (putRight != nullptr) putRight();
  // The status that Windows gives a process ended by Ctrl+C or Ctrl+Break.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

void HandleConsoleEvents() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  SetConsoleCtrlHandler(PutRightAndEnd, TRUE);
}

}  // namespace

void PutRightOnEnding(Job job, PutRight putRight) {
  const Held held;
  gPutRights.at(static_cast<std::size_t>(job)) = putRight;
  HandleConsoleEvents();
}

void LeaveInterruptKeyToPrompt(bool prompting) {
  InterlockedExchange(&gPrompting, prompting ? 1 : 0);
  HandleConsoleEvents();
}

// A critical section may be entered again by the thread that holds it.
Held::Held() { EnterCriticalSection(Guard()); }
Held::~Held() { LeaveCriticalSection(Guard()); }

}  // namespace platform::endings

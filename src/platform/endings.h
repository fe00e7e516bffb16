// What ends or pauses a run from outside the program's own course: the
// signals that end a process, those of its own faults included, and those of
// job control (on Windows, the console's Ctrl+C, Ctrl+Break and close
// events). It is the one place that handles them. The jobs that leave
// something to put right before the process ends (the terminal's mode, a new
// file in progress) each register it here, and never meet each other. One
// implementation file per system (linux/endings.cpp, win32/endings.cpp).
#pragma once

namespace platform::endings {

// The jobs, in the order their put-right runs: the user's terminal first,
// since it is what the user is left with.
enum class Job { Terminal, NewFile, kCount };

// Puts right what the job leaves. It runs inside a signal handler (on
// Windows, on the console event's own thread while the holder below keeps
// the program out): only calls that are safe there, over state that changes
// only while endings are held.
using PutRight = void (*)();

// Registers the job's put-right (again: the same), and from then on handles
// every ending. A signal ignored when the program started stays ignored.
void PutRightOnEnding(Job job, PutRight putRight);

// While set, the interrupt key (Ctrl+C) ends nothing: it is the prompt's,
// an ignored key, even where the console sends it as an event (a Windows
// console whose processed input another program left on; Wine's). A POSIX
// terminal's raw mode takes the key from the system, so there it changes
// nothing.
void LeaveInterruptKeyToPrompt(bool prompting);

// While one lives, no ending runs a put-right: a job changes the state its
// put-right reads only while holding one. Holders nest.
class Held {
 public:
  Held();
  ~Held();
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  Held(Held&&) = delete;
  Held& operator=(Held&&) = delete;
};

}  // namespace platform::endings

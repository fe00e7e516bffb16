// What the program needs to work on more than one CPU: how many CPUs it is
// granted, and threads started only where the system allows them. One
// implementation file per system (linux/threads.cpp, win32/threads.cpp)
// keeps this contract.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace platform {

// How many CPUs the process may keep busy at once, at least 1: the CPUs it
// may run on (its affinity mask, which `taskset` and a container's cpuset
// narrow), and the CPU time it is given where that is limited (on Linux the
// CPU quota of its cgroup and of the cgroups above it, v1 or v2; on Windows
// a job object's CPU rate limit), rounded up to whole CPUs. The smallest of
// them; whatever cannot be read counts as no limit.
unsigned CpusGranted();

// How many of the CPUs granted are free at this moment, at least 1 (for a
// pool of threads that lives for a whole walk): on
// Linux, the CPUs online less the threads of other programs running or ready
// to run (/proc/stat), as `make -l` weighs the load; a thread started where
// every CPU is busy only takes time from the thread it should help. Windows
// offers no such snapshot: there, the CPUs granted.
unsigned CpusFree();

// The most memory the process may use, in bytes, where something limits it:
// on Linux the memory limit of its cgroup and of the cgroups above it (v2's
// memory.max and memory.high, v1's memory.limit_in_bytes) and its address
// space limit (ulimit -v); on Windows the memory limit of a job object it
// runs in. nullopt where nothing does. A limit, never what is in use now:
// the page cache fills a cgroup and is given back.
std::optional<std::uint64_t> MemoryLimit();

// A thread that StartThread started, to be joined.
using ThreadHandle = std::uintptr_t;

// Starts `body` on a thread of its own, with every ending signal blocked
// there: signals, and what they put right, are the starting thread's. `body`
// must live until the thread is joined. False, with nothing started, where
// the system will not start a thread (a limit on processes or threads, no
// memory for its stack): the caller goes on with the threads it has, down
// to none, and does the rest itself.
bool StartThread(const std::function<void()>& body, ThreadHandle& started);

// Waits for a started thread to end.
void JoinThread(ThreadHandle thread);

}  // namespace platform

// Working ahead: the entries of a walk worked out on a few threads, their
// outcomes published on the calling thread alone, in stored order, so that
// a run prints exactly what it prints on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace commands {

// Reads QUARROW_WORKERS, before the .nms file is read: a whole number from 0
// up, how many threads may work beside the calling one (0: none). Anything
// else ends the run with a line that names the variable and its value.
void TakeWorkersSetting();

// How many threads may read the .nms file beside the calling one: one for
// each other CPU granted, fewer where QUARROW_WORKERS says so (0: none).
unsigned ThreadsForLoad();

// What a walk needs of memory: on one thread (the loaded .nms file and what
// the walk holds besides), and more for each thread beside it. A walk that
// writes texts ahead also holds up to the bound of bytes ahead, once.
struct MemoryNeeds {
  std::uint64_t oneThread = 0;
  std::uint64_t eachThreadMore = 0;
  bool writesAhead = false;
};

// How many threads should work ahead on a walk of `entries` entries, beside
// the calling thread: one for each other CPU that is granted and free at the
// start (platform::CpusFree), at most 7, and none for a small walk: a thread
// beyond them only takes time from the one that publishes. QUARROW_WORKERS,
// when set, says how many may, whatever the walk and the load (0: none), so
// that tests can run every table both ways; never more than the other CPUs
// granted. Where the run's memory is limited, only as many as the limit holds
// beside what one thread needs, as `needs` and the program's own share say:
// threads are not to take a run past a limit that one thread keeps within.
unsigned WorkersFor(std::size_t entries, const MemoryNeeds& needs);

// How far work may run past the entry being published. The callers keep
// each entry's outcome in a ring of this many slots, at index % kMostAhead:
// work(i) fills the slot and publish(i) empties it, and no two entries under
// way share one.
inline constexpr std::size_t kMostAhead = 64;

// Calls work(i) for each i from `first` up to `end`, on `workers` threads
// and on the calling thread while it waits, never more than kMostAhead
// entries past the one being published (and, where `sizeOf` is given, never
// more than 16 MiB of their sizes, unless it is the next one), and
// publish(i) on the calling thread, in order, each once its work is done.
// publish returns false to stop; the threads are then stopped and joined,
// and the index it refused is returned (`end` when all were published). The
// threads are started with every signal blocked: signals, and what they put
// right, are the calling thread's. A thread the system will not start is no
// failure: the walk goes on with those it has, down to this one.
std::size_t WorkAheadInOrder(std::size_t first, std::size_t end, unsigned workers,
                             const std::function<void(std::size_t)>& work,
                             const std::function<bool(std::size_t)>& publish,
                             const std::function<std::uint32_t(std::size_t)>& sizeOf = nullptr);

}  // namespace commands

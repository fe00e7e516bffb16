#include "commands/work_ahead.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/report.h"
#include "platform/terminal.h"
#include "platform/threads.h"

namespace commands {

namespace {

// Fewer entries than this are worked on one thread: starting threads would
// cost more than they save.
constexpr std::size_t kSmallestWalk = 64;
// Each thread holds a read buffer of 1 MiB: 7 beside the calling thread
// keep the run within 8 MiB of its memory on one thread.
constexpr unsigned kMostWorkers = 7;
// And how many bytes of texts, where they are written out ahead: what the
// system holds for files not yet named stays small beside the .nms file.
constexpr std::uint64_t kMostBytesAhead = std::uint64_t{16} << 20;

// What the program needs besides what a walk says: its code, libraries and
// stacks (a list of a small file peaks at 3.5 MiB); and each thread, its stack
// and the memory the C library keeps for it.
constexpr std::uint64_t kProgramItself = std::uint64_t{6} << 20;
constexpr std::uint64_t kThreadItself = std::uint64_t{1} << 20;

// QUARROW_WORKERS, where it is set.
std::optional<unsigned> gWorkersSetting;

}  // namespace

void TakeWorkersSetting() {
  const char* const setting = std::getenv("QUARROW_WORKERS");
  if (setting == nullptr) return;
  const std::string_view digits = setting;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    app::Print(platform::Stream::Output,
               "ERROR -- QUARROW_WORKERS must be a whole number from 0 up, not '%s'\n",
               app::Shown(platform::Stream::Output, setting).c_str());
    app::EndProcess(1);
  }
  unsigned number = 0;
  const bool fits =
      std::from_chars(digits.data(), digits.data() + digits.size(), number).ec == std::errc();
  // A number too large to hold asks for as many as there may be.
  gWorkersSetting = fits ? number : std::numeric_limits<unsigned>::max();
}

unsigned ThreadsForLoad() {
  const unsigned others = platform::CpusGranted() - 1;
  return gWorkersSetting ? std::min(*gWorkersSetting, others) : others;
}

namespace {

// How many threads beside the calling one the run's memory limit holds.
unsigned WorkersTheMemoryHolds(const MemoryNeeds& needs) {
  const std::optional<std::uint64_t> limit = platform::MemoryLimit();
  if (!limit) return kMostWorkers;
  const std::uint64_t fixed =
      kProgramItself + needs.oneThread + (needs.writesAhead ? kMostBytesAhead : 0);
  if (fixed >= *limit) return 0;
  const std::uint64_t each = kThreadItself + needs.eachThreadMore;
  return static_cast<unsigned>(std::min<std::uint64_t>((*limit - fixed) / each, kMostWorkers));
}

}  // namespace

unsigned WorkersFor(std::size_t entries, const MemoryNeeds& needs) {
  const auto others = [](unsigned cpus) { return std::min(cpus - 1, kMostWorkers); };
  const unsigned wanted = gWorkersSetting
                              ? std::min(*gWorkersSetting, others(platform::CpusGranted()))
                          : entries < kSmallestWalk ? 0
                                                    : others(platform::CpusFree());
  return wanted == 0 ? 0 : std::min(wanted, WorkersTheMemoryHolds(needs));
}

// Entries are claimed in order, by the threads and by this one, which works
// on the entries ahead itself whenever the one it publishes next is not
// done, and sleeps only when there is nothing it may claim. A thread that
// waits says so first, and only then is the lock taken to wake it: most
// entries cost no lock at all. What is kept of each entry under way lives in
// a ring of kMostAhead slots, so that a walk of any length costs the same
// memory.
std::size_t WorkAheadInOrder(std::size_t first, std::size_t end, unsigned workers,
                             const std::function<void(std::size_t)>& work,
                             const std::function<bool(std::size_t)>& publish,
                             const std::function<std::uint32_t(std::size_t)>& sizeOf) {
  // Whether work on the entry may start while `next` is the next to publish.
  const auto withinBounds = [&](std::size_t index, std::size_t next) {
    if (index >= next + kMostAhead) return false;
    std::uint64_t bytes = 0;
    for (std::size_t ahead = next; sizeOf && index != next && ahead <= index; ++ahead) {
      bytes += sizeOf(ahead);
      if (bytes > kMostBytesAhead) return false;
    }
    return true;
  };
  std::array<std::atomic<bool>, kMostAhead> done{};
  const auto slot = [](std::size_t index) { return index % kMostAhead; };
  std::atomic<std::size_t> next{first};       // the next entry to claim
  std::atomic<std::size_t> published{first};  // the entries before it are published
  std::atomic<bool> stopping{false};
  std::atomic<int> waiting{0};  // threads asleep, or about to be
  std::mutex guard;
  std::condition_variable changed;
  const auto waitUntil = [&](const auto& ready) {
    if (ready()) return;
    std::unique_lock<std::mutex> lock(guard);
    ++waiting;
    changed.wait(lock, ready);
    --waiting;
  };
  const auto wakeWaiters = [&] {
    if (waiting.load() == 0) return;
    { const std::lock_guard<std::mutex> lock(guard); }
    changed.notify_all();
  };
  const auto workOn = [&](std::size_t index) {
    work(index);
    done[slot(index)].store(true);
    wakeWaiters();
  };

  const auto worker = [&] {
    for (;;) {
      const std::size_t index = next.fetch_add(1);
      if (index >= end) return;
      waitUntil([&] { return stopping.load() || withinBounds(index, published.load()); });
      if (stopping.load()) return;
      workOn(index);
    }
  };

  const std::function<void()> body = worker;
  std::vector<platform::ThreadHandle> threads;
  threads.reserve(workers);
  for (platform::ThreadHandle started{}; threads.size() < workers; threads.push_back(started))
    if (!platform::StartThread(body, started)) break;
  std::size_t index = first;
  for (; index < end; ++index) {
    while (!done[slot(index)].load()) {
      std::size_t claim = next.load();
      if (claim >= end || !withinBounds(claim, index)) {
        waitUntil([&] { return done[slot(index)].load(); });
      } else if (next.compare_exchange_weak(claim, claim + 1)) {
        workOn(claim);
      }
    }
    if (!publish(index)) break;
    done[slot(index)].store(false);  // free for the entry kMostAhead later
    published.store(index + 1);
    wakeWaiters();
  }
  stopping.store(true);
  { const std::lock_guard<std::mutex> lock(guard); }
  changed.notify_all();
  for (const platform::ThreadHandle thread : threads) platform::JoinThread(thread);
  return index;
}

}  // namespace commands

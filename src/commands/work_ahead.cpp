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

namespace {

// One walk that works ahead: entries are claimed in order, by the threads
// and by the publisher (the calling thread), which works on the entries
// ahead itself whenever the one it publishes next is not done, and sleeps
// only when there is nothing it may claim. What is kept of each entry under
// way lives in a ring of kMostAhead slots, so that a walk of any length
// costs the same memory.
//
// Waking without a lock for most entries: a thread that waits counts
// itself in waiters_ first, then checks its condition under the lock and
// sleeps on it; a thread that changes what others wait for makes the change
// first, then looks at waiters_, and only where someone waits takes the
// lock (and drops it) before it notifies. No wake-up is lost: every one of
// these atomics is sequentially consistent, so either the waker sees the
// count (and its lock waits until the waiter sleeps, so its notify reaches
// it), or the waiter counted itself after the waker looked, and then sees
// the change when it checks its condition, and does not sleep.
class OrderedWalk {
 public:
  OrderedWalk(std::size_t first, std::size_t end, const std::function<void(std::size_t)>& work,
              const std::function<std::uint32_t(std::size_t)>& sizeOf)
      : end_(end), work_(work), sizeOf_(sizeOf), next_(first), published_(first) {}

  // What each thread beside the publisher runs: claims the next entry,
  // waits until it is within the bounds ahead of the publisher, works on it.
  void RunWorker() {
    for (;;) {
      const std::size_t index = next_.fetch_add(1);
      if (index >= end_) return;
      WaitUntil([&] { return stopping_.load() || WithinBounds(index, published_.load()); });
      if (stopping_.load()) return;
      WorkOn(index);
    }
  }

  // The publisher: each entry in order, once done; the first index not
  // published (end where all were).
  std::size_t PublishInOrder(std::size_t first, const std::function<bool(std::size_t)>& publish) {
    std::size_t index = first;
    for (; index < end_; ++index) {
      DoOrHelpUntilDone(index);
      if (!publish(index)) break;
      done_[Slot(index)].store(false);  // free for the entry kMostAhead later
      published_.store(index + 1);
      WakeWaiters();
    }
    return index;
  }

  // Every worker returns at its next look.
  void Stop() {
    stopping_.store(true);
    { const std::lock_guard<std::mutex> lock(guard_); }
    changed_.notify_all();
  }

 private:
  static std::size_t Slot(std::size_t index) { return index % kMostAhead; }

  // Whether work on the entry may start while `next` is the next to publish:
  // at most kMostAhead entries, and kMostBytesAhead bytes of texts, from it.
  bool WithinBounds(std::size_t index, std::size_t next) const {
    if (index >= next + kMostAhead) return false;
    std::uint64_t bytes = 0;
    for (std::size_t ahead = next; sizeOf_ && index != next && ahead <= index; ++ahead) {
      bytes += sizeOf_(ahead);
      if (bytes > kMostBytesAhead) return false;
    }
    return true;
  }

  // The publisher works on the entries it may claim until `index` is done
  // (by it or by a worker), and sleeps only where it may claim none.
  void DoOrHelpUntilDone(std::size_t index) {
    while (!done_[Slot(index)].load()) {
      std::size_t claim = next_.load();
      if (claim >= end_ || !WithinBounds(claim, index)) {
        WaitUntil([&] { return done_[Slot(index)].load(); });
      } else if (next_.compare_exchange_weak(claim, claim + 1)) {
        WorkOn(claim);
      }
    }
  }

  void WorkOn(std::size_t index) {
    work_(index);
    done_[Slot(index)].store(true);
    WakeWaiters();
  }

  template <typename Ready>
  void WaitUntil(const Ready& ready) {
    if (ready()) return;
    std::unique_lock<std::mutex> lock(guard_);
    ++waiters_;
    changed_.wait(lock, ready);
    --waiters_;
  }

  void WakeWaiters() {
    if (waiters_.load() == 0) return;
    { const std::lock_guard<std::mutex> lock(guard_); }
    changed_.notify_all();
  }

  const std::size_t end_;
  const std::function<void(std::size_t)>& work_;
  const std::function<std::uint32_t(std::size_t)>& sizeOf_;
  std::array<std::atomic<bool>, kMostAhead> done_{};
  std::atomic<std::size_t> next_;       // the next entry to claim
  std::atomic<std::size_t> published_;  // the entries before it are published
  std::atomic<bool> stopping_{false};
  std::atomic<int> waiters_{0};  // threads asleep, or about to be
  std::mutex guard_;
  std::condition_variable changed_;
};

}  // namespace

std::size_t WorkAheadInOrder(std::size_t first, std::size_t end, unsigned workers,
                             const std::function<void(std::size_t)>& work,
                             const std::function<bool(std::size_t)>& publish,
                             const std::function<std::uint32_t(std::size_t)>& sizeOf) {
  OrderedWalk walk(first, end, work, sizeOf);
  const std::function<void()> body = [&walk] { walk.RunWorker(); };
  std::vector<platform::ThreadHandle> threads;
  threads.reserve(workers);
  for (platform::ThreadHandle started{}; threads.size() < workers; threads.push_back(started))
    if (!platform::StartThread(body, started)) break;
  const std::size_t stoppedAt = walk.PublishInOrder(first, publish);
  walk.Stop();
  for (const platform::ThreadHandle thread : threads) platform::JoinThread(thread);
  return stoppedAt;
}

}  // namespace commands

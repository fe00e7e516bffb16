#include "commands/work_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/endings.h"

namespace commands {

namespace {

// Fewer entries than this are worked on one thread: starting threads would
// cost more than they save.
constexpr std::size_t kSmallestWalk = 64;
// Each thread holds a read buffer of 1 MiB: 8 keep the run within 8 MiB of
// its memory on one thread.
constexpr unsigned kMostWorkers = 8;
// How far work may run past the entry being published.
constexpr std::size_t kMostAhead = 64;

}  // namespace

unsigned WorkersFor(std::size_t entries) {
  if (const char* forced = std::getenv("QUARROW_WORKERS"); forced != nullptr)
    return std::min(static_cast<unsigned>(std::strtoul(forced, nullptr, 10)), kMostWorkers);
  const unsigned cpus = std::thread::hardware_concurrency();
  if (cpus <= 1 || entries < kSmallestWalk) return 0;
  return std::min(cpus, kMostWorkers);
}

// Entries are claimed in order by the threads, which wait only when they are
// too far ahead; this thread waits only for the entry it publishes next. A
// thread that waits says so first, and only then is the lock taken to wake
// it: most entries cost no lock at all.
std::size_t WorkAheadInOrder(std::size_t count, unsigned workers,
                             const std::function<void(std::size_t)>& work,
                             const std::function<bool(std::size_t)>& publish) {
  std::vector<std::atomic<bool>> done(count);
  std::atomic<std::size_t> next{0};       // the next entry to claim
  std::atomic<std::size_t> published{0};  // entries published so far
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

  const auto worker = [&] {
    for (;;) {
      const std::size_t index = next.fetch_add(1);
      if (index >= count) return;
      waitUntil([&] { return stopping.load() || index < published.load() + kMostAhead; });
      if (stopping.load()) return;
      work(index);
      done[index].store(true);
      wakeWaiters();
    }
  };

  std::vector<std::thread> threads;
  {
    const platform::endings::Held signalsBlocked;  // the threads start with this mask
    for (unsigned started = 0; started < workers; ++started) threads.emplace_back(worker);
  }
  std::size_t index = 0;
  for (; index < count; ++index) {
    waitUntil([&] { return done[index].load(); });
    if (!publish(index)) break;
    published.store(index + 1);
    wakeWaiters();
  }
  stopping.store(true);
  { const std::lock_guard<std::mutex> lock(guard); }
  changed.notify_all();
  for (std::thread& thread : threads) thread.join();
  return index;
}

}  // namespace commands

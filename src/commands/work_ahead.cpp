#include "commands/work_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nmsfile/nmsfile.h"
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
// And how many bytes of texts, where they are written out ahead: what the
// system holds for files not yet named stays small beside the .nms file.
constexpr std::uint64_t kMostBytesAhead = std::uint64_t{16} << 20;

std::vector<StoredEntry> gCollected;

int Collect(const char* path, std::uint32_t size, const char* text) {
  gCollected.push_back({path, size, text});
  return 1;
}

}  // namespace

unsigned WorkersFor(std::size_t entries) {
  if (const char* forced = std::getenv("QUARROW_WORKERS"); forced != nullptr)
    return std::min(static_cast<unsigned>(std::strtoul(forced, nullptr, 10)), kMostWorkers);
  const unsigned cpus = std::thread::hardware_concurrency();
  if (cpus <= 1 || entries < kSmallestWalk) return 0;
  return std::min(cpus, kMostWorkers);
}

std::vector<StoredEntry> StoredEntries() {
  gCollected.clear();
  gCollected.reserve(nms::SourceCount());
  nms::ForEachSource(Collect);
  return std::move(gCollected);
}

// Entries are claimed in order by the threads, which wait only when they are
// too far ahead; this thread waits only for the entry it publishes next. A
// thread that waits says so first, and only then is the lock taken to wake
// it: most entries cost no lock at all.
std::size_t WorkAheadInOrder(std::size_t count, unsigned workers,
                             const std::function<void(std::size_t)>& work,
                             const std::function<bool(std::size_t)>& publish,
                             const std::function<std::uint32_t(std::size_t)>& sizeOf) {
  // bytesBefore[i]: the sizes of the entries before i, when they count.
  std::vector<std::uint64_t> bytesBefore(sizeOf ? count + 1 : 0);
  for (std::size_t index = 0; sizeOf && index < count; ++index)
    bytesBefore[index + 1] = bytesBefore[index] + sizeOf(index);
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
      waitUntil([&] {
        const std::size_t first = published.load();
        return stopping.load() ||
               (index < first + kMostAhead &&
                (!sizeOf || index == first ||
                 bytesBefore[index + 1] - bytesBefore[first] <= kMostBytesAhead));
      });
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

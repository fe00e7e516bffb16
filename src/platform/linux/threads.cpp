// Threads on Linux, and the CPUs the process is granted.
#include "platform/linux/threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/endings.h"
#include "platform/linux/calls.h"
#include "platform/threads.h"

namespace platform {

namespace linux_threads {

namespace {

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string_view Trimmed(std::string_view text) {
  const auto start = text.find_first_not_of(" \t\n");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t\n") - start + 1);
}

bool ReadNumber(std::string_view text, unsigned long long& number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size();
}

// Cuts `text` at the first `separator`: what comes before it, the rest after.
std::string_view TakeUntil(std::string_view& text, char separator) {
  const auto at = text.find(separator);
  const std::string_view taken = text.substr(0, at);
  text = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
  return taken;
}

// What follows `key` on its line in `text`, or nullopt where it is missing.
std::optional<std::string_view> ValueAfter(std::string_view text, std::string_view key) {
  const auto at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + key.size());
  return TakeUntil(rest, '\n');
}

// Whether a comma-separated list (of controllers, of mount options) holds `item`.
bool ListHolds(std::string_view list, std::string_view item) {
  while (!list.empty())
    if (TakeUntil(list, ',') == item) return true;
  return false;
}

// The CPUs of a list such as "0-3,8"; 0 when it does not read as one.
unsigned long long CountCpuList(std::string_view list) {
  unsigned long long count = 0;
  for (list = Trimmed(list); !list.empty();) {
    std::string_view range = TakeUntil(list, ',');
    const std::string_view first = TakeUntil(range, '-');
    unsigned long long low = 0;
    unsigned long long high = 0;
    if (!ReadNumber(first, low) || !ReadNumber(range.empty() ? first : range, high) || high < low)
      return 0;
    count += high - low + 1;
  }
  return count;
}

// The CPUs the affinity mask allows, from /proc/self/status; 0: unknown.
unsigned long long AffinityCpus(const std::string& root) {
  const std::string status = FileText(root + "/proc/self/status");
  const auto list = ValueAfter(status, "Cpus_allowed_list:");
  return list ? CountCpuList(*list) : 0;
}

// Whole CPUs in `quota` microseconds a `period`, rounded up; 0: no limit.
unsigned long long QuotaCpus(std::string_view quota, std::string_view period) {
  unsigned long long quotaTime = 0;
  unsigned long long periodTime = 0;
  if (!ReadNumber(Trimmed(quota), quotaTime) || !ReadNumber(Trimmed(period), periodTime) ||
      quotaTime == 0 || periodTime == 0)
    return 0;  // "max" (v2) and -1 (v1) read as no number: no limit
  return quotaTime / periodTime + (quotaTime % periodTime != 0 ? 1 : 0);
}

unsigned long long QuotaCpusIn(const std::string& folder, bool v2) {
  if (v2) {
    const std::string text = FileText(folder + "/cpu.max");
    std::string_view fields = Trimmed(text);
    const std::string_view quota = TakeUntil(fields, ' ');
    return QuotaCpus(quota, fields);
  }
  return QuotaCpus(FileText(folder + "/cpu.cfs_quota_us"), FileText(folder + "/cpu.cfs_period_us"));
}

// The process's cgroup in one hierarchy: v2's, or v1's with the controller
// (cpu, memory).
struct Hierarchy {
  bool v2;
  std::string path;
};

std::vector<Hierarchy> Hierarchies(const std::string& root, std::string_view controller) {
  std::vector<Hierarchy> found;
  std::istringstream lines(FileText(root + "/proc/self/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    std::string_view rest = line;  // id:controllers:path
    const std::string_view id = TakeUntil(rest, ':');
    const std::string_view controllers = TakeUntil(rest, ':');
    if (id == "0" && controllers.empty())
      found.push_back({true, std::string(rest)});
    else if (ListHolds(controllers, controller))
      found.push_back({false, std::string(rest)});
  }
  return found;
}

// A limit in bytes as a cgroup file gives it; 0: none ("max", or nothing
// readable).
unsigned long long BytesIn(const std::string& path) {
  unsigned long long bytes = 0;
  return ReadNumber(Trimmed(FileText(path)), bytes) ? bytes : 0;
}

// The smaller of two limits, where 0 is none.
unsigned long long Lower(unsigned long long one, unsigned long long other) {
  if (one == 0) return other;
  return other == 0 ? one : std::min(one, other);
}

unsigned long long MemoryLimitIn(const std::string& folder, bool v2) {
  if (v2) return Lower(BytesIn(folder + "/memory.max"), BytesIn(folder + "/memory.high"));
  return BytesIn(folder + "/memory.limit_in_bytes");
}

// Mountinfo writes a blank, a tab, a line feed and a backslash as octal
// escapes (\040).
std::string Unescaped(std::string_view field) {
  std::string plain;
  for (std::size_t at = 0; at < field.size(); ++at) {
    unsigned long long code = 0;
    if (field[at] == '\\' && at + 3 < field.size() &&
        std::from_chars(field.data() + at + 1, field.data() + at + 4, code, 8).ptr ==
            field.data() + at + 4) {
      plain += static_cast<char>(code);
      at += 3;
    } else {
      plain += field[at];
    }
  }
  return plain;
}

// The lowest limit on the road from the process's cgroup up to the top of
// the hierarchy, as mounted, as `limitIn` reads each cgroup's folder
// (0: none); 0 where none limits.
template <typename LimitIn>
unsigned long long LowestUpTheHierarchy(const std::string& root, const Hierarchy& hierarchy,
                                        std::string_view controller, const LimitIn& limitIn) {
  std::istringstream lines(FileText(root + "/proc/self/mountinfo"));
  for (std::string line; std::getline(lines, line);) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    const std::string& type = dash[1];
    if (hierarchy.v2 ? type != "cgroup2" : type != "cgroup" || !ListHolds(dash[3], controller))
      continue;
    // The part of the hierarchy this mount shows starts at its root.
    const std::string mountRoot = Unescaped(fields[3]);
    std::string below = hierarchy.path;
    if (mountRoot != "/") {
      if (below != mountRoot && !below.starts_with(mountRoot + "/")) continue;
      below = below.substr(mountRoot.size());
    }
    const std::string top = root + Unescaped(fields[4]);
    std::string folder = top + below;
    unsigned long long lowest = 0;
    for (;;) {
      lowest = Lower(lowest, limitIn(folder, hierarchy.v2));
      if (folder.size() <= top.size()) break;
      folder.erase(folder.rfind('/'));
    }
    return lowest;
  }
  return 0;
}

}  // namespace

unsigned CpusGrantedUnder(const std::string& root, unsigned online) {
  unsigned long long granted = std::max(online, 1U);
  const auto narrow = [&](unsigned long long cpus) {
    if (cpus != 0) granted = std::min(granted, cpus);
  };
  narrow(AffinityCpus(root));
  for (const Hierarchy& hierarchy : Hierarchies(root, "cpu"))
    narrow(LowestUpTheHierarchy(root, hierarchy, "cpu", QuotaCpusIn));
  return static_cast<unsigned>(granted);
}

unsigned long long MemoryLimitUnder(const std::string& root) {
  const std::vector<Hierarchy> hierarchies = Hierarchies(root, "memory");
  return std::accumulate(
      hierarchies.begin(), hierarchies.end(), 0ULL,
      [&](unsigned long long lowest, const Hierarchy& hierarchy) {
        return Lower(lowest, LowestUpTheHierarchy(root, hierarchy, "memory", MemoryLimitIn));
      });
}

unsigned CpusFreeUnder(const std::string& root, unsigned online, unsigned granted) {
  // The fewest of a few looks, 0.3 ms apart, stopping as soon as no other
  // thread runs: a program that runs for a moment (a shell, a grep, the
  // kernel's threads putting away what the last program left) is gone in a
  // later look, a program that keeps a CPU busy is in every one.
  constexpr int kLooks = 10;
  unsigned long long running = 0;
  for (int look = 0; look < kLooks && (look == 0 || running > 1); ++look) {
    if (look > 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    const std::string stat = FileText(root + "/proc/stat");
    const auto value = ValueAfter(stat, "\nprocs_running ");
    unsigned long long seen = 0;
    if (!value || !ReadNumber(*value, seen)) return std::max(granted, 1U);
    running = look == 0 ? seen : std::min(running, seen);
  }
  const unsigned long long others = running > 0 ? running - 1 : 0;  // this thread is one
  const unsigned long long free = online > others ? online - others : 1;
  return static_cast<unsigned>(
      std::max<unsigned long long>(std::min<unsigned long long>(free, granted), 1));
}

}  // namespace linux_threads

namespace {

unsigned CpusOnline() {
  const long online = linux_calls::Calls().sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

}  // namespace

unsigned CpusGranted() {
  return linux_threads::CpusGrantedUnder(linux_calls::Calls().cpuTreeRoot, CpusOnline());
}

unsigned CpusFree() {
  return linux_threads::CpusFreeUnder(linux_calls::Calls().cpuTreeRoot, CpusOnline(),
                                      CpusGranted());
}

std::optional<std::uint64_t> MemoryLimit() {
  unsigned long long lowest = linux_threads::MemoryLimitUnder("");
  struct rlimit addressSpace {};
  if (getrlimit(RLIMIT_AS, &addressSpace) == 0 && addressSpace.rlim_cur != RLIM_INFINITY)
    lowest = linux_threads::Lower(lowest, addressSpace.rlim_cur);
  if (lowest == 0) return std::nullopt;
  return lowest;
}

namespace {

void* RunBody(void* body) {
  (*static_cast<const std::function<void()>*>(body))();
  return nullptr;
}

}  // namespace

bool StartThread(const std::function<void()>& body, ThreadHandle& started) {
  const endings::Held signalsBlocked;  // the thread starts with this mask
  pthread_t thread{};
  // The body is only read through the pointer.
  void* const argument = const_cast<std::function<void()>*>(&body);  // NOLINT
  if (linux_calls::Calls().pthread_create(&thread, nullptr, RunBody, argument) != 0) return false;
  started = static_cast<ThreadHandle>(thread);
  return true;
}

void JoinThread(ThreadHandle thread) { pthread_join(static_cast<pthread_t>(thread), nullptr); }

}  // namespace platform

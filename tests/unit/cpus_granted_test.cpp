// The CPUs and the memory a Linux process is granted, read from a tree of
// its own that stands for /proc and /sys: affinity lists, cgroup v1 and v2
// quotas and limits up the hierarchy, "max", missing files, and a
// container's view of its cgroup.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "platform/linux/threads.h"

namespace {

struct File {
  std::string path;  // under the tree's root
  std::string text;
};

struct Row {
  const char* name;
  std::vector<File> files;
  unsigned online;
  unsigned granted;
};

const char* const kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
const char* const kV1Mount =
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";

// A tree of its own, standing for /proc and /sys, holding `files`.
std::filesystem::path Tree(const std::vector<File>& files) {
  std::string pattern = (std::filesystem::temp_directory_path() / "quarrow-cpus-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no scratch folder");
  const std::filesystem::path root = pattern;
  for (const File& file : files) {
    std::filesystem::create_directories((root / file.path).parent_path());
    std::ofstream(root / file.path) << file.text;
  }
  return root;
}

TEST(CpusGranted, TheSmallestOfOnlineAffinityAndEveryQuotaUpTheHierarchy) {
  const std::vector<Row> rows = {
      {"nothing readable: the CPUs online", {}, 8, 8},
      {"an affinity list", {{"proc/self/status", "Name:\tq\nCpus_allowed_list:\t0-2,5\n"}}, 8, 4},
      {"taskset -c 0", {{"proc/self/status", "Cpus_allowed_list:\t0\n"}}, 2, 1},
      {"an unreadable list is no limit", {{"proc/self/status", "Cpus_allowed_list:\t3-1\n"}}, 4, 4},
      {"v2: a quota rounds up",
       {{"proc/self/cgroup", "0::/job\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/job/cpu.max", "150000 100000\n"}},
       8,
       2},
      {"v2: half a CPU is one",
       {{"proc/self/cgroup", "0::/job\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/job/cpu.max", "50000 100000\n"}},
       64,
       1},
      {"v2: max is no limit, a parent's quota is",
       {{"proc/self/cgroup", "0::/pod/job\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/pod/job/cpu.max", "max 100000\n"},
        {"sys/fs/cgroup/pod/cpu.max", "300000 100000\n"}},
       64,
       3},
      {"v2: a container's mount shows its cgroup at the top",
       {{"proc/self/cgroup", "0::/docker/abc\n"},
        {"proc/self/mountinfo", "40 30 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
        {"sys/fs/cgroup/cpu.max", "200000 100000\n"}},
       64,
       2},
      {"v1: quota over period, -1 is none",
       {{"proc/self/cgroup", "4:memory:/x\n3:cpu,cpuacct:/ci/job\n0::/\n"},
        {"proc/self/mountinfo", std::string(kV2Mount) + kV1Mount},
        {"sys/fs/cgroup/cpu,cpuacct/ci/job/cpu.cfs_quota_us", "-1\n"},
        {"sys/fs/cgroup/cpu,cpuacct/ci/job/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/ci/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/ci/cpu.cfs_period_us", "100000\n"}},
       2,
       1},
      {"v1 without a period file is no limit",
       {{"proc/self/cgroup", "3:cpu,cpuacct:/job\n"},
        {"proc/self/mountinfo", kV1Mount},
        {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "50000\n"}},
       2,
       2},
      {"affinity and quota: the smaller",
       {{"proc/self/status", "Cpus_allowed_list:\t0-3\n"},
        {"proc/self/cgroup", "0::/job\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/job/cpu.max", "600000 100000\n"}},
       16,
       4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::filesystem::path root = Tree(row.files);
    EXPECT_EQ(platform::linux_threads::CpusGrantedUnder(root.string(), row.online), row.granted);
    std::filesystem::remove_all(root);
  }
}

// The memory limit is read the same way: the lowest of memory.max and
// memory.high (v2) or memory.limit_in_bytes (v1) up the hierarchy.
TEST(MemoryLimit, TheLowestUpTheHierarchy) {
  const std::string kMemoryV1Mount =
      "33 31 0:30 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
  const std::vector<std::tuple<const char*, std::vector<File>, unsigned long long>> rows = {
      {"v2: high below max, max above is none",
       {{"proc/self/cgroup", "0::/pod/job\n"},
        {"proc/self/mountinfo", kV2Mount},
        {"sys/fs/cgroup/pod/job/memory.max", "50000000\n"},
        {"sys/fs/cgroup/pod/job/memory.high", "40000000\n"},
        {"sys/fs/cgroup/pod/memory.max", "max\n"}},
       40000000},
      {"v1: the memory controller's hierarchy, a parent's limit lower",
       {{"proc/self/cgroup", "4:memory:/ci/job\n3:cpu,cpuacct:/ci/job\n"},
        {"proc/self/mountinfo", std::string(kV1Mount) + kMemoryV1Mount},
        {"sys/fs/cgroup/cpu,cpuacct/ci/job/memory.limit_in_bytes", "1000\n"},
        {"sys/fs/cgroup/memory/ci/job/memory.limit_in_bytes", "9223372036854771712\n"},
        {"sys/fs/cgroup/memory/ci/memory.limit_in_bytes", "268435456\n"}},
       268435456},
  };
  for (const auto& [name, files, limit] : rows) {
    SCOPED_TRACE(name);
    const std::filesystem::path root = Tree(files);
    EXPECT_EQ(platform::linux_threads::MemoryLimitUnder(root.string()), limit);
    std::filesystem::remove_all(root);
  }
}

// The CPUs free: those online less the other programs running now, within
// the CPUs granted.
TEST(CpusGranted, TheFreeOnesAreThoseOthersDoNotKeepBusy) {
  std::string pattern = (std::filesystem::temp_directory_path() / "quarrow-cpus-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path root = pattern;
  std::filesystem::create_directories(root / "proc");
  for (const auto& [running, online, granted, free] :
       {std::tuple("1", 2U, 2U, 2U), std::tuple("2", 2U, 2U, 1U), std::tuple("9", 2U, 2U, 1U),
        std::tuple("3", 8U, 4U, 4U), std::tuple("x", 8U, 4U, 4U)}) {
    SCOPED_TRACE(running);
    std::ofstream(root / "proc/stat") << "cpu  1 2 3\nprocs_running " << running << "\n";
    EXPECT_EQ(platform::linux_threads::CpusFreeUnder(root.string(), online, granted), free);
  }
  std::filesystem::remove_all(root);
}

}  // namespace

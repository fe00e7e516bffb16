// The reading of the CPUs a Linux process is granted, from the files that
// say it, under a root that tests set to a tree of their own.
#pragma once

#include <string>

namespace platform::linux_threads {

// The CPUs granted as the files under `root` ("" for the system's own) say:
// the affinity list of root/proc/self/status (Cpus_allowed_list), and the
// CPU quota of each cgroup from the process's own up to its hierarchy's
// root (cpu.max in v2; cpu.cfs_quota_us over cpu.cfs_period_us in v1),
// found through root/proc/self/cgroup and root/proc/self/mountinfo, the
// mount points taken under `root` too. `online` where nothing limits.
unsigned CpusGrantedUnder(const std::string& root, unsigned online);

// The CPUs free as root/proc/stat says (procs_running, this thread among
// them): `online` less the others running, at most `granted`, at least 1.
unsigned CpusFreeUnder(const std::string& root, unsigned online, unsigned granted);

// The lowest memory limit in bytes of the cgroups from the process's own up
// to its hierarchy's root, as the files under `root` say (memory.max and
// memory.high in v2, memory.limit_in_bytes in v1); 0 where none limits.
unsigned long long MemoryLimitUnder(const std::string& root);

}  // namespace platform::linux_threads

// Threads on Windows, and the CPUs the process is granted.
#include "platform/threads.h"

#include <windows.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "platform/win32/calls.h"

namespace platform {

namespace {

// Not in every SDK's headers (Windows 10 added it): the rate is a range,
// MinRate in the lower half of the union and MaxRate in the upper.
constexpr DWORD kRateIsMinMax = 0x10;

}  // namespace

// The process's affinity mask (within its processor group), narrowed by a
// job object's hard CPU rate limit, a share of every processor of the
// system in hundredths of a percent. A weighted rate limits nothing.
unsigned CpusGranted() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  const unsigned long long online = std::max<DWORD>(system.dwNumberOfProcessors, 1);
  unsigned long long granted = online;
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask) && processMask != 0)
    granted = std::min(granted, static_cast<unsigned long long>(std::popcount(processMask)));
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  if (QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate,
                                nullptr) &&
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_ENABLE) != 0) {
    unsigned long long hundredthsOfAPercent = 0;
    if ((rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP) != 0)
      hundredthsOfAPercent = rate.CpuRate;
    else if ((rate.ControlFlags & kRateIsMinMax) != 0)
      hundredthsOfAPercent = rate.CpuRate >> 16;
    if (hundredthsOfAPercent != 0)
      granted = std::min(granted, (hundredthsOfAPercent * online + 9999) / 10000);
  }
  return static_cast<unsigned>(std::max<unsigned long long>(granted, 1));
}

unsigned CpusFree() { return CpusGranted(); }

// A job object's limit of memory committed by the process, or by the whole job.
std::optional<std::uint64_t> MemoryLimit() {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits,
                                 nullptr))
    return std::nullopt;
  std::optional<std::uint64_t> lowest;
  const auto narrow = [&](std::uint64_t bytes) {
    if (bytes != 0) lowest = lowest ? std::min(*lowest, bytes) : bytes;
  };
  if ((limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0)
    narrow(limits.ProcessMemoryLimit);
  if ((limits.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0)
    narrow(limits.JobMemoryLimit);
  return lowest;
}

// The C++ runtime's threads, not bare CreateThread ones: the runtime keeps
// state of its own for each thread (thread_local objects and their ends).
// Console events are handled on a thread of the system's own, whatever the
// program's threads are doing: there is nothing to block.
bool StartThread(const std::function<void()>& body, ThreadHandle& started) {
  std::thread* const thread = win32_calls::Calls().NewThread(body);
  if (thread == nullptr) return false;
  started = reinterpret_cast<ThreadHandle>(thread);
  return true;
}

void JoinThread(ThreadHandle thread) {
  auto* const started =
      reinterpret_cast<std::thread*>(thread);  // NOLINT(performance-no-int-to-ptr)
  started->join();
  delete started;
}

}  // namespace platform

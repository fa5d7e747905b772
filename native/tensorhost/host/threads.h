// Thread sizing from the CPUs the process may really use: CPU affinity and the control group's
// CPU quota (cgroup v2, else v1) both lower the machine's count.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::m2 {

/// Where the sizing looks. The defaults are the live machine; tests lay out fake trees and fake
/// machines by changing `root` (prepended to every file path), `cpu_count` and `affinity`.
struct CpuProbe {
  std::string root;                       // "" for the real file system
  std::optional<int64_t> cpu_count;       // logical CPUs; nullopt: ask the system
  std::optional<int64_t> affinity_count;  // size of the affinity set; nullopt: ask the system
  bool no_cpu_count = false;              // the machine's count cannot be determined
  bool no_affinity = false;               // the platform offers no affinity query
};

/// The process-wide probe used by effective_cpu_count(); replaced only by tests.
CpuProbe& cpu_probe();

/// Usable CPU count, at least 1. Never fails on missing or unreadable files.
int64_t effective_cpu_count(const CpuProbe& probe);
int64_t effective_cpu_count();

/// The largest thread count a request or LIBSTREAM_THREADS may ask for: the most logical CPUs a
/// Linux kernel is built for. Far larger counts are never useful, and the interpreters' thread
/// pool does not survive them (tens of thousands crash its teardown at exit).
inline constexpr int64_t MAX_THREADS = 8192;

/// Interpreter thread count, at least 1: `requested` if positive, else LIBSTREAM_THREADS if
/// positive, else min(effective CPUs, 24); capped at max(1, CPUs / 2) when n_interpreters > 1.
/// Throws ValueError when LIBSTREAM_THREADS is consulted and is not an integer, and when the
/// request or LIBSTREAM_THREADS is above MAX_THREADS (named in the message).
int64_t default_threads(int64_t n_interpreters = 1, int64_t requested = 0);

}  // namespace quorvane::m2

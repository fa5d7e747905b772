#include "tensorhost/host/threads.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "tensorhost/host/errors.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

constexpr int64_t kUnknownCpuCount = 8;
constexpr int64_t kAutoCap = 24;
constexpr std::string_view kCgroupRoot = "/sys/fs/cgroup";

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  std::ostringstream ss;
  ss << f.rdbuf();
  if (f.bad()) return std::nullopt;
  return ss.str();
}

std::vector<std::string> split_ws(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && is_py_space(s[i])) ++i;
    size_t b = i;
    while (i < s.size() && !is_py_space(s[i])) ++i;
    if (i > b) out.emplace_back(s.substr(b, i - b));
  }
  return out;
}

int64_t machine_cpus(const CpuProbe& p) {
  if (p.no_cpu_count) return kUnknownCpuCount;
  if (p.cpu_count) return *p.cpu_count;
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? n : kUnknownCpuCount;
}

std::optional<int64_t> affinity_size(const CpuProbe& p) {
  if (p.no_affinity) return std::nullopt;
  if (p.affinity_count) return *p.affinity_count;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
  return CPU_COUNT(&set);
}

// The process's cgroup v2 path relative to the hierarchy root, without trailing slashes.
std::string cgroup_rel(const CpuProbe& p) {
  std::ifstream f(p.root + "/proc/self/cgroup");
  std::string line;
  while (f && std::getline(f, line)) {
    if (line.rfind("0::", 0) != 0) continue;
    std::string rel = strip(line).substr(3);
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    return rel;
  }
  return {};
}

}  // namespace

CpuProbe& cpu_probe() {
  static CpuProbe probe;
  return probe;
}

int64_t effective_cpu_count(const CpuProbe& p) {
  int64_t n = machine_cpus(p);
  if (auto a = affinity_size(p)) n = std::min(n, *a);

  std::string d = p.root + std::string(kCgroupRoot) + cgroup_rel(p);
  const size_t floor_len = p.root.size() + kCgroupRoot.size();
  std::optional<double> quota;
  bool found = false;
  // Walk from the process's own group up to the hierarchy root; the tightest level wins.
  for (;;) {
    if (auto text = read_file(d + "/cpu.max")) {
      auto fields = split_ws(*text);
      if (fields.size() >= 2) {
        found = true;
        if (fields[0] != "max") {
          auto per = parse_int(fields[1]);
          if (per && *per > 0) {
            if (auto q = parse_int(fields[0])) {
              double ratio = static_cast<double>(*q) / static_cast<double>(*per);
              quota = quota ? std::min(*quota, ratio) : ratio;
            }
          }
        }
      }
    }
    if (d.size() <= floor_len) break;
    auto slash = d.rfind('/');
    if (slash == std::string::npos) break;
    d.resize(slash);
  }
  if (!found) {
    auto qs = read_file(p.root + std::string(kCgroupRoot) + "/cpu/cpu.cfs_quota_us");
    auto ps = qs ? read_file(p.root + std::string(kCgroupRoot) + "/cpu/cpu.cfs_period_us") : std::nullopt;
    if (qs && ps) {
      auto q = parse_int(*qs);
      auto per = parse_int(*ps);
      if (q && per && *q > 0 && *per > 0) quota = static_cast<double>(*q) / static_cast<double>(*per);
    }
  }
  if (quota && *quota > 0) n = std::min(n, std::max<int64_t>(1, static_cast<int64_t>(std::ceil(*quota))));
  return std::max<int64_t>(1, n);
}

int64_t effective_cpu_count() { return effective_cpu_count(cpu_probe()); }

int64_t default_threads(int64_t n_interpreters, int64_t requested) {
  int64_t t = requested;
  std::string source = "--threads";
  if (t <= 0) {
    source = "LIBSTREAM_THREADS";
    std::string raw = getenv_str("LIBSTREAM_THREADS");
    if (raw.empty()) {
      t = 0;
    } else if (auto v = parse_int(raw)) {
      t = *v;
    } else {
      throw ValueError("LIBSTREAM_THREADS takes an integer, not " + repr_str(raw));
    }
  }
  if (t > MAX_THREADS)
    throw ValueError(source + " " + std::to_string(t) + " is more threads than the " + std::to_string(MAX_THREADS) +
                     " an interpreter may be given");
  if (t <= 0) t = std::min(effective_cpu_count(), kAutoCap);
  if (n_interpreters > 1) t = std::min(t, std::max<int64_t>(1, effective_cpu_count() / 2));
  return std::max<int64_t>(1, t);
}

}  // namespace quorvane::m2

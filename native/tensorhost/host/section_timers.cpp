#include "tensorhost/host/section_timers.h"

#if defined(QUORVANE_TIMERS) && QUORVANE_TIMERS

#include <array>
#include <ctime>

#include <sys/resource.h>

namespace quorvane::m2 {

namespace {

constexpr std::array<const char*, static_cast<size_t>(Section::count_)> kSectionNames = {
    "window", "tempo", "enc",    "tok",   "step",  "dec16", "dec8",   "history",
    "dec_rows", "rgb", "frames", "release", "chunk", "input", "pipe", "request"};
constexpr std::array<const char*, static_cast<size_t>(TimerScope::count_)> kScopeNames = {
    "first_chunk", "steady_chunk", "serve"};
static_assert(kSectionNames.back() != nullptr && kScopeNames.back() != nullptr,
              "a section or scope without a name");

struct Total {
  int64_t ns = 0;
  int64_t calls = 0;
  int64_t items = 0;
  int64_t faults = 0;
};

// Plain counters: every timed stretch runs on the main thread (the pool's work is timed from the
// thread that waits for it).
std::array<std::array<Total, static_cast<size_t>(Section::count_)>,
           static_cast<size_t>(TimerScope::count_)>
    g_totals;
TimerScope g_scope = TimerScope::serve;

}  // namespace

TimerMark timer_mark() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  rusage ru{};
  ::getrusage(RUSAGE_THREAD, &ru);
  return {static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec, static_cast<int64_t>(ru.ru_minflt)};
}

void timer_add(Section s, const TimerMark& start, int64_t items) {
  const TimerMark end = timer_mark();
  Total& t = g_totals[static_cast<size_t>(g_scope)][static_cast<size_t>(s)];
  t.ns += end.ns - start.ns;
  t.calls += 1;
  t.items += items;
  t.faults += end.faults - start.faults;
}

TimerScopeGuard::TimerScopeGuard(TimerScope s) : prev_(g_scope) { g_scope = s; }
TimerScopeGuard::~TimerScopeGuard() { g_scope = prev_; }

std::string timers_json() {
  std::string out = "{";
  for (size_t sc = 0; sc < g_totals.size(); ++sc) {
    if (sc) out += ",";
    out += "\"";
    out += kScopeNames[sc];
    out += "\":{";
    bool first = true;
    for (size_t s = 0; s < g_totals[sc].size(); ++s) {
      const Total& t = g_totals[sc][s];
      if (t.calls == 0) continue;
      if (!first) out += ",";
      first = false;
      out += "\"";
      out += kSectionNames[s];
      out += "\":[" + std::to_string(t.ns) + "," + std::to_string(t.calls) + "," +
             std::to_string(t.items) + "," + std::to_string(t.faults) + "]";
    }
    out += "}";
  }
  out += "}";
  return out;
}

}  // namespace quorvane::m2

#endif

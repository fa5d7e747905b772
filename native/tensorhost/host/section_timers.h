// Wall-clock section timers of the chunk path and the serve loop, for the benchmarks. They exist
// only in a build with QUORVANE_TIMERS=1 (CMake option QUORVANE_TIMERS); in every other build
// `timed` is a plain call of its function and the scope guard is an empty object, so the compiler
// leaves nothing behind. A timers build writes its totals as one "timers {...}" log line when the
// serve loop ends.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace quorvane::m2 {

/// What a timed stretch of wall time was spent on.
enum class Section : int {
  window,    // cutting the chunk's audio window
  tempo,     // tempo change and encoder gain
  enc,       // model invocations, one per signature (timed inside the LiteRT chain)
  tok,
  step,
  dec16,
  dec8,
  history,   // advancing the latent history after each step
  dec_rows,  // building the decoder input rows
  rgb,       // float frames to RGB888 (the whole pool fan-out, waited for)
  frames,    // building the chunk's frame pairs
  release,   // dropping the chunk's decoder rows and float frames
  chunk,     // one whole chunk, start to end
  input,     // reading one sample step from the pipe and appending it to the audio buffer
  pipe,      // writing a batch of frame records (and end records) and flushing
  request,   // one whole request of the serve loop, from its word to the release of its frames
  count_
};

/// Which totals a section adds to: the first chunk after a reset, the steady chunks after it, or
/// the serve loop around them.
enum class TimerScope : int { first_chunk, steady_chunk, serve, count_ };

#if defined(QUORVANE_TIMERS) && QUORVANE_TIMERS

/// A reading of the monotonic clock (nanoseconds) and of the calling thread's minor page faults.
struct TimerMark {
  int64_t ns;
  int64_t faults;
};
TimerMark timer_mark();

/// Adds the stretch since `start`, covering `items` items (frame records for the pipe, else 1), to
/// section `s` of the current scope. Main thread only, like everything it times.
void timer_add(Section s, const TimerMark& start, int64_t items = 1);

/// Sets the current scope for as long as it lives, then restores the one before.
class TimerScopeGuard {
 public:
  explicit TimerScopeGuard(TimerScope s);
  ~TimerScopeGuard();
  TimerScopeGuard(const TimerScopeGuard&) = delete;
  TimerScopeGuard& operator=(const TimerScopeGuard&) = delete;

 private:
  TimerScope prev_;
};

/// Adds the time from construction to destruction to one section.
class SectionTimer {
 public:
  explicit SectionTimer(Section s, int64_t items = 1) : s_(s), items_(items), t0_(timer_mark()) {}
  ~SectionTimer() { timer_add(s_, t0_, items_); }
  SectionTimer(const SectionTimer&) = delete;
  SectionTimer& operator=(const SectionTimer&) = delete;

 private:
  Section s_;
  int64_t items_;
  TimerMark t0_;
};

/// Every total as compact JSON: {"first_chunk":{"window":[ns,calls,items,faults],...},...},
/// sections never entered left out. Faults are the timing thread's own (not the pool's).
std::string timers_json();

#else

class TimerScopeGuard {
 public:
  explicit constexpr TimerScopeGuard(TimerScope) {}
};

class SectionTimer {
 public:
  explicit constexpr SectionTimer(Section, int64_t = 1) {}
};

#endif

/// Calls `f` and returns what it returns; in a timers build the call is added to section `s`.
template <class F>
inline decltype(auto) timed(Section s, F&& f) {
  [[maybe_unused]] SectionTimer t(s);
  return std::forward<F>(f)();
}

}  // namespace quorvane::m2

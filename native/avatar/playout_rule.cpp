#include "avatar/playout_rule.h"

namespace quorvane::avatar {

namespace {

// Arrival rates divide by at least this many seconds of wall time.
constexpr double kMinWallS = 0.001;

}  // namespace

double ahead_seconds(double chunk_frames, double spt, double sample_rate_hz, double chunk0_frames,
                     double period_s) {
  return chunk_frames * spt / sample_rate_hz - chunk0_frames * period_s;
}

double audio_for(double frames, double period_s, double ahead_s) { return frames * period_s + ahead_s; }

double next_due_after(double next_due, double period_s, double now, double catchup_s) {
  return py_max(next_due + period_s, now - catchup_s);
}

FirstChunk first_chunk(double now, double t0, double got_s, double audio_for_ready_s) {
  const double rate0 = got_s / py_max(now - t0, kMinWallS);
  return {now, py_max(0.0, now - (t0 + audio_for_ready_s / rate0))};
}

double chunk1_make_s(std::optional<double> steady_s, std::optional<double> r0_s,
                     std::optional<double> lag0, double r1_factor) {
  if (steady_s) return *steady_s;
  if (r0_s) return r1_factor * *r0_s;
  // `lag0 or 0.0`: a zero lag (of either sign) and no lag alike count as 0.0.
  const double lag = (lag0 && *lag0 != 0.0) ? *lag0 : 0.0;
  return r1_factor * lag;
}

bool chunk1_in_time(const StartCheck& c) {
  const double until = c.t_end ? *c.t_end : c.now;
  const double rate = c.got_s / py_max(until - c.t0, kMinWallS);
  const double t_audio1 = py_max(c.t0 + c.need1_s / rate, c.t_chunk0);
  return c.now + c.ready * c.period_s >= t_audio1 + c.r1_s + c.margin_s;
}

}  // namespace quorvane::avatar

// The arithmetic of the mirrant-2 playout clock: when a buffered utterance may start playing, and
// when the next tick is due. A mirrant-2 model delivers its pictures in chunks (a first chunk, then
// longer ones) some time after their speech has arrived; playing from a short buffer is safe only if
// the second chunk will be made before the buffered pictures have been shown.
//
// Every function is pure and works in seconds on one monotonic clock. The operations, their order
// and the tie rules of `py_max` are exactly those of the same formulas evaluated with Python floats,
// so the binding can hand values in and out without any rounding of its own.
#pragma once

#include <optional>

namespace quorvane::avatar {

/// `max(a, b)` as Python computes it for two floats: `a` unless `b > a` (so a NaN or a signed
/// zero in `a` is kept).
inline double py_max(double a, double b) { return b > a ? b : a; }

/// Seconds of speech a later chunk holds beyond the play time of the first chunk's pictures:
/// `chunk_frames * spt / sample_rate_hz - chunk0_frames * period_s`.
double ahead_seconds(double chunk_frames, double spt, double sample_rate_hz, double chunk0_frames,
                     double period_s);

/// Seconds of speech the model needs before it can have made `frames` pictures:
/// `frames * period_s + ahead_s`.
double audio_for(double frames, double period_s, double ahead_s);

/// When the tick after `next_due` is due: one period later, but never more than `catchup_s`
/// behind `now`, so lateness beyond `catchup_s` is given up instead of sent back to back.
double next_due_after(double next_due, double period_s, double now, double catchup_s);

/// What is measured when the first chunk is judged ready (the first check of a waiting period).
struct FirstChunk {
  double t_chunk0;  ///< monotonic time of that check
  double lag0;      ///< seconds the first chunk came later than its speech implied, at least 0
};

/// The first check of a waiting period at `now`: speech began arriving at `t0`, `got_s` seconds
/// of it have arrived, and `audio_for_ready_s` is `audio_for(ready)`. `got_s` must be above 0.
FirstChunk first_chunk(double now, double t0, double got_s, double audio_for_ready_s);

/// Expected wall time to make the second chunk once its speech is there: the smoothed feed time
/// when there is one, else `r1_factor` times the utterance's first feed time, else `r1_factor`
/// times `lag0` (an absent or zero `lag0` counting as 0).
double chunk1_make_s(std::optional<double> steady_s, std::optional<double> r0_s,
                     std::optional<double> lag0, double r1_factor);

/// The inputs of the start rule at `now` with `ready` pictures buffered (all seconds).
struct StartCheck {
  double now;
  double ready;                 ///< buffered pictures
  double period_s;              ///< seconds per tick
  double t0;                    ///< when speech began arriving
  double got_s;                 ///< seconds of speech arrived so far (above 0)
  std::optional<double> t_end;  ///< when the last speech arrived, once it all has
  double need1_s;               ///< seconds of speech needed before the second chunk
  double t_chunk0;              ///< from `first_chunk`
  double r1_s;                  ///< from `chunk1_make_s`
  double margin_s;              ///< safety margin
};

/// Whether play may start now: by the time the `ready` pictures have been shown, the speech of the
/// second chunk will have arrived (at the measured arrival rate, never before `t_chunk0`) and the
/// chunk will have been made, with `margin_s` to spare.
bool chunk1_in_time(const StartCheck& c);

}  // namespace quorvane::avatar

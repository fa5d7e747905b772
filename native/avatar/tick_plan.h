// How many ticks of an utterance go out now, and how an utterance's tail is padded.
//
// A tick is `spt` samples of the utterance buffer; tick i covers samples i * spt up to
// (i + 1) * spt. Outside the end-of-speech pass the last `lookback` whole ticks of the buffer (and
// any partial tick) are held back until more audio or the end of speech arrives. All counts are
// in ticks unless the name says samples; `spt` must be positive (std::invalid_argument otherwise).
#pragma once

#include <cstdint>

namespace quorvane::avatar {

/// Ticks that may be emitted now outside the end-of-speech pass, in a buffer of `n_samples`
/// with `ticks_emitted` already out: the whole ticks less `lookback` (never below 0), less those
/// emitted. May be negative (more were emitted than the buffer now allows), as the caller treats
/// any count <= 0 as nothing to emit.
std::int64_t ticks_ready(std::int64_t n_samples, std::int64_t spt, std::int64_t lookback,
                         std::int64_t ticks_emitted);

/// Streaming mode: the ticks a pass emits, given `available` ticks the runtime can hand out.
/// Outside the end-of-speech pass at most `ticks_ready` (never below 0); in it, at most
/// `tail_total - ticks_emitted` (never below 0) when `has_tail_total`, else all available.
std::int64_t streaming_ticks_to_emit(std::int64_t available, std::int64_t n_samples, std::int64_t spt,
                                     std::int64_t lookback, std::int64_t ticks_emitted, bool eos_padding,
                                     bool has_tail_total, std::int64_t tail_total);

/// The end of an utterance, planned when its terminal control arrives.
struct TailPlan {
  std::int64_t total_audio_ticks;  // ticks the speech covers, a partial last tick counted
  std::int64_t remaining;          // of those, not yet emitted (never below 0)
  std::int64_t target_samples;     // buffer length with the zero pad; 0 when nothing remains
  bool extend;                     // the buffer is shorter than target_samples and gets zeros
};

/// Plans the tail of a buffer of `n_samples` with `ticks_emitted` out and `pad_ticks` ticks of
/// silence after the speech: target = (ticks_emitted + remaining + pad_ticks) * spt samples.
TailPlan plan_tail(std::int64_t n_samples, std::int64_t spt, std::int64_t ticks_emitted, std::int64_t pad_ticks);

}  // namespace quorvane::avatar

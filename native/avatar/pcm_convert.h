// Sample conversions of the live stream: int16 PCM to float and back, and the voice of one tick.
//
// Every conversion is fixed to the bit against the array arithmetic it stands for: int16 divided
// by the scale in float32; float times the scale in float32 and then truncated toward zero. The
// scale is the records' INT16_MAX, handed in by the caller as a float32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::avatar {

/// Int16 samples to float32: each sample converted to float32 and divided by `scale` in float32
/// (one rounding). `in` and `out` hold `n` elements and may not overlap.
void int16_to_float(const std::int16_t* in, std::size_t n, float scale, float* out);

/// Float32 samples times `scale` in float32, truncated toward zero to int16, without clipping.
/// A product outside the int16 range keeps the low 16 bits of its truncation to int32, and a NaN
/// or a product outside the int32 range gives 0: what the array cast gives on x86-64. Returns
/// the number of such invalid samples (NaN or outside int32), so the caller can warn as that
/// cast does. `in` and `out` hold `n` elements and may not overlap.
std::size_t float_to_int16_unclipped(const float* in, std::size_t n, float scale, std::int16_t* out);

/// The voice of one tick: the `spt` samples of `pcm` (which holds `n_pcm`) from `start` on,
/// zeros past the end of `pcm`, each clipped to [-1, 1], multiplied by `scale` in float32 and
/// truncated toward zero to int16. A NaN sample gives 0. `out` holds `spt` elements. Returns the
/// number of NaN samples met.
std::size_t tick_voice(const float* pcm, std::size_t n_pcm, std::size_t start, std::size_t spt, float scale,
                       std::int16_t* out);

}  // namespace quorvane::avatar

// Tempo change of mono PCM without pitch change, by waveform-similarity overlap-add (WSOLA).
//
// All work runs on a 24-bit integer sample grid held in single precision: the input is quantised
// onto the grid, blocks are searched, cut and cross-faded there, and the result is mapped back to
// float32 PCM in [-1, 1]. Every rounding step is fixed, so results are reproducible to the bit.
//
// Non-finite samples: a NaN sample counts as silence (0) in both grid conversions; infinities clip
// to the ends of the grid like any other out-of-range sample.
//
// All functions are pure and thread-safe; they keep no state between calls.
#pragma once

#include <cstdint>

#include "tensorhost/chain/tensor.h"

namespace quorvane::m2 {

/// One PCM sample onto the grid: scaled by 2^31, truncated, clipped to 32 bits, then rounded half
/// up to 24 bits. Returns an integer in [-2^24, 2^24], exact in float32.
float wsola_to_grid(double sample);

/// One grid value back to PCM: rounded half up to an integer, scaled by 128, clipped to 32 bits
/// and divided by 2^31. Returns a multiple of 2^-24 in [-1, 1].
float wsola_from_grid(double value);

/// wsola_to_grid over `n` samples of `d` into `out` (which may alias `d` for the float form).
void wsola_to_buf(const float* d, int64_t n, float* out);
void wsola_to_buf(const double* d, int64_t n, float* out);

/// wsola_from_grid over `n` values of `v` into `out` (which may alias `v` for the float form).
void wsola_from_buf(const float* v, int64_t n, float* out);
void wsola_from_buf(const double* v, int64_t n, float* out);

/// Output length of tempo_wsola for `n` input samples: floor(n / factor + 0.5), at least 0.
/// Throws ZeroDivisionError "float division by zero" for factor 0, ValueError for a NaN factor
/// or one so small that the length is not representable.
int64_t wsola_output_length(int64_t n, double factor);

/// Changes the tempo of `n` PCM samples by `factor` (above 1 shortens, below 1 lengthens):
/// 1120-sample output blocks, each cut near its nominal input position at the one of 235
/// candidate points whose first 192 samples best continue the previous block.
/// Returns a new, owned, writable 1-D tensor of wsola_output_length(n, factor) samples
/// (empty for a negative factor). The double form reads each sample at full precision.
/// Throws as wsola_output_length; std::bad_alloc when the output cannot be allocated.
FloatTensor tempo_wsola(const float* x, int64_t n, double factor = 1.25);
FloatTensor tempo_wsola(const double* x, int64_t n, double factor = 1.25);

}  // namespace quorvane::m2

// Sample conversions between the engines' PCM bytes and float samples.
//
// Engines consume 16 kHz mono signed 16-bit little-endian PCM. Callers hand float audio in
// nominal [-1, 1]; the fixture runtime takes float32. These are the two conversions, fixed to
// the bit: clip, scale by 32767 in the input's own precision, truncate toward zero; and int16
// divided by 32768 in float32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::open {

/// Float samples to int16: clip to [-1, 1], multiply by 32767 (in float32 for float32 input,
/// in double for double input) and truncate toward zero. A NaN sample becomes 0. `in` and `out`
/// hold `n` elements and do not overlap. Returns the number of NaN samples met, so the caller
/// can report them.
std::size_t float_to_int16(const float* in, std::size_t n, std::int16_t* out);
std::size_t float_to_int16(const double* in, std::size_t n, std::int16_t* out);

/// Int16 samples to float32, each divided by 32768 (exact: -32768 gives -1, 32767 gives
/// 32767/32768). `in` and `out` hold `n` elements and do not overlap.
void int16_to_float(const std::int16_t* in, std::size_t n, float* out);

/// The same conversion from s16le bytes as they come (`in` holds 2 * `n` bytes, at any
/// alignment, in little-endian order whatever the host's).
void s16le_to_float(const unsigned char* in, std::size_t n, float* out);

}  // namespace quorvane::open

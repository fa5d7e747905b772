#include "open/pcm.h"

#include <cmath>

namespace quorvane::open {

namespace {

// The clip of np.clip (NaN passes through unchanged), then the scale in T's own precision.
template <class T>
std::size_t to_int16(const T* in, std::size_t n, std::int16_t* out) {
  constexpr T lo = T(-1.0);
  constexpr T hi = T(1.0);
  constexpr T scale = T(32767.0);
  std::size_t nan_count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    T v = in[i];
    if (std::isnan(v)) {
      // NumPy's cast gives 0 on this platform for NaN; the caller warns as it does.
      out[i] = 0;
      ++nan_count;
      continue;
    }
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    const T scaled = v * scale;  // within [-32767, 32767]: the cast below is always defined
    out[i] = static_cast<std::int16_t>(scaled);
  }
  return nan_count;
}

}  // namespace

std::size_t float_to_int16(const float* in, std::size_t n, std::int16_t* out) {
  return to_int16(in, n, out);
}

std::size_t float_to_int16(const double* in, std::size_t n, std::int16_t* out) {
  return to_int16(in, n, out);
}

void int16_to_float(const std::int16_t* in, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]) / 32768.0f;
}

void s16le_to_float(const unsigned char* in, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const auto u = static_cast<std::uint16_t>(in[2 * i] | (in[2 * i + 1] << 8));
    out[i] = static_cast<float>(static_cast<std::int16_t>(u)) / 32768.0f;
  }
}

}  // namespace quorvane::open

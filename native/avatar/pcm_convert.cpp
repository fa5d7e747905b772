#include "avatar/pcm_convert.h"

#include <cmath>

namespace quorvane::avatar {

namespace {

// The float-to-int16 cast as the array cast performs it on x86-64: truncation to int32 (which
// yields INT32_MIN for NaN and out-of-range values), then the low 16 bits.
std::int16_t cast_like_x86(float v, std::size_t& invalid) {
  // +-2^31 are exactly representable: [-2^31, 2^31) truncates into int32, NaN and the rest do not.
  if (!(v >= -2147483648.0f && v < 2147483648.0f)) {
    ++invalid;
    return 0;
  }
  const auto t = static_cast<std::int32_t>(v);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(t) & 0xFFFFu));
}

}  // namespace

void int16_to_float(const std::int16_t* in, std::size_t n, float scale, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]) / scale;
}

std::size_t float_to_int16_unclipped(const float* in, std::size_t n, float scale, std::int16_t* out) {
  std::size_t invalid = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const float scaled = in[i] * scale;
    out[i] = cast_like_x86(scaled, invalid);
  }
  return invalid;
}

std::size_t tick_voice(const float* pcm, std::size_t n_pcm, std::size_t start, std::size_t spt, float scale,
                       std::int16_t* out) {
  std::size_t invalid = 0;
  for (std::size_t k = 0; k < spt; ++k) {
    const std::size_t i = start + k;
    float v = i < n_pcm ? pcm[i] : 0.0f;
    // np.clip's order: the lower bound first, then the upper; NaN passes through both.
    if (v < -1.0f) v = -1.0f;
    if (v > 1.0f) v = 1.0f;
    out[k] = cast_like_x86(v * scale, invalid);
  }
  return invalid;
}

}  // namespace quorvane::avatar

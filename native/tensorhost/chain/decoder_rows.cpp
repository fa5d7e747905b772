#include "tensorhost/chain/decoder_rows.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

namespace {

constexpr int64_t kRowFloats = DEC_CH * PLANE;
constexpr int64_t kPhases = 4;
constexpr int64_t kPhaseChannel = 2 * LC;  // first phase-marker channel

void check_latent(const FloatTensor& t, const std::string& what) {
  if (t.size() != LATENT_FLOATS) {
    throw ValueError(what + " has " + std::to_string(t.size()) + " values, expected " +
                     std::to_string(LATENT_FLOATS));
  }
}

void copy_latent(float* dst, const FloatTensor& lat) {
  std::memcpy(dst, lat.data, static_cast<size_t>(LATENT_FLOATS) * sizeof(float));
}

}  // namespace

int64_t dec_row_count(int64_t blk, bool has_prev_lat) {
  if (blk <= 0) return 0;
  return has_prev_lat ? kPhases * blk : kPhases * blk - (kPhases - 1);
}

std::pair<FloatTensor, int64_t> build_dec_inputs(const std::vector<FloatTensor>& lats,
                                                 int64_t blk, const FloatTensor* prev_lat) {
  if (blk < 0) throw ValueError("blk must be nonnegative, got " + std::to_string(blk));
  if (static_cast<int64_t>(lats.size()) < blk) {
    throw ValueError("build_dec_inputs needs " + std::to_string(blk) + " latents, got " +
                     std::to_string(lats.size()));
  }
  for (int64_t i = 0; i < blk; ++i) {
    check_latent(lats[static_cast<size_t>(i)], "latent " + std::to_string(i));
  }
  if (blk > 0 && prev_lat != nullptr) check_latent(*prev_lat, "prev_lat");

  const int64_t n = dec_row_count(blk, prev_lat != nullptr);
  // Uninitialised: every value of every row is written exactly once below (latents, then the
  // four phase planes as ones or zeros), which leaves the same array as a zero fill would.
  FloatTensor xs = FloatTensor::empty({n, DEC_CH, LH, LW});
  float* row = xs.data;
  for (int64_t i = 0; i < blk; ++i) {
    const FloatTensor& cur = lats[static_cast<size_t>(i)];
    const FloatTensor& before =
        i > 0 ? lats[static_cast<size_t>(i - 1)] : (prev_lat != nullptr ? *prev_lat : lats[0]);
    const int64_t first_phase = (i == 0 && prev_lat == nullptr) ? kPhases - 1 : 0;
    for (int64_t ph = first_phase; ph < kPhases; ++ph) {
      copy_latent(row, cur);
      copy_latent(row + LATENT_FLOATS, before);
      for (int64_t c = 0; c < kPhases; ++c) {
        float* plane = row + (kPhaseChannel + c) * PLANE;
        std::fill(plane, plane + PLANE, c == ph ? 1.0f : 0.0f);
      }
      row += kRowFloats;
    }
  }
  return {std::move(xs), n};
}

}  // namespace quorvane::m2

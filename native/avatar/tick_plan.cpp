#include "avatar/tick_plan.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace quorvane::avatar {

namespace {

void check_spt(std::int64_t spt) {
  if (spt <= 0) throw std::invalid_argument("samples per tick must be positive, got " + std::to_string(spt));
}

}  // namespace

std::int64_t ticks_ready(std::int64_t n_samples, std::int64_t spt, std::int64_t lookback,
                         std::int64_t ticks_emitted) {
  check_spt(spt);
  const std::int64_t ready = std::max<std::int64_t>(0, n_samples / spt - lookback);
  return ready - ticks_emitted;
}

std::int64_t streaming_ticks_to_emit(std::int64_t available, std::int64_t n_samples, std::int64_t spt,
                                     std::int64_t lookback, std::int64_t ticks_emitted, bool eos_padding,
                                     bool has_tail_total, std::int64_t tail_total) {
  if (!eos_padding) {
    return std::min(available, std::max<std::int64_t>(0, ticks_ready(n_samples, spt, lookback, ticks_emitted)));
  }
  if (has_tail_total) return std::min(available, std::max<std::int64_t>(0, tail_total - ticks_emitted));
  return available;
}

TailPlan plan_tail(std::int64_t n_samples, std::int64_t spt, std::int64_t ticks_emitted, std::int64_t pad_ticks) {
  check_spt(spt);
  TailPlan p{};
  p.total_audio_ticks = n_samples / spt + (n_samples % spt != 0 ? 1 : 0);
  p.remaining = std::max<std::int64_t>(p.total_audio_ticks - ticks_emitted, 0);
  if (p.remaining > 0) {
    p.target_samples = (ticks_emitted + p.remaining + pad_ticks) * spt;
    p.extend = n_samples < p.target_samples;
  }
  return p;
}

}  // namespace quorvane::avatar

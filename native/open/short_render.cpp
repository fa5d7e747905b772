#include "open/short_render.h"

#include <cmath>
#include <limits>

namespace quorvane::open {

const char* const kNoFramesMessage =
    "no frames came out of that render \u2014 check that the audio has speech in it, then try again";

std::int64_t short_floor(std::int64_t expected, double frac) {
  const double product = static_cast<double>(expected) * frac;
  const double truncated = std::trunc(product);
  std::int64_t allowance;
  // 2^63 is exactly representable; anything at or beyond it saturates.
  if (truncated >= 9223372036854775808.0) {
    allowance = std::numeric_limits<std::int64_t>::max();
  } else if (truncated < -9223372036854775808.0) {
    allowance = std::numeric_limits<std::int64_t>::min();
  } else {
    allowance = static_cast<std::int64_t>(truncated);
  }
  if (allowance < 2) allowance = 2;
  // Saturating subtraction: expected >= 0 in every real render, but stay defined for any input.
  if (expected < 0 && allowance > expected - std::numeric_limits<std::int64_t>::min()) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return expected - allowance;
}

std::string stopped_early_message(std::int64_t delivered, std::int64_t expected) {
  return "that render stopped early \u2014 " + std::to_string(delivered) + " frames came out of the " +
         std::to_string(expected) +
         " this audio should produce, so the video would be short. Render it again.";
}

std::string stopped_early_detail(const std::string& engine_id, std::int64_t delivered,
                                 std::int64_t floor, std::int64_t expected,
                                 const std::string& fps_text, const std::string& stop_text) {
  return "engine=" + engine_id + " delivered " + std::to_string(delivered) +
         " frames, expected >= " + std::to_string(floor) + " (audio implies " +
         std::to_string(expected) + " at " + fps_text + " fps); the render ended on: " + stop_text;
}

std::string no_frames_detail(const std::string& engine_id) {
  return "engine=" + engine_id + " delivered 0 frames";
}

}  // namespace quorvane::open

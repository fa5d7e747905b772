// The smoothed feed time of mirrant-2 streams: how long a feed of audio that made new frames took,
// averaged over the life of an avatar.
#pragma once

namespace quorvane::avatar {

/// Weights of the smoothing: the previous estimate and the new measurement.
inline constexpr double kFeedTimeKeep = 0.7;
inline constexpr double kFeedTimeTake = 0.3;

/// The next smoothed feed time in seconds from the previous one and a new measurement `dur_s`:
/// 0.7 * prev_s + 0.3 * dur_s, each product rounded, then the sum (no fused multiply-add).
double smoothed_feed_time(double prev_s, double dur_s);

}  // namespace quorvane::avatar

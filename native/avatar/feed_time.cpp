#include "avatar/feed_time.h"

namespace quorvane::avatar {

double smoothed_feed_time(double prev_s, double dur_s) {
  const double kept = kFeedTimeKeep * prev_s;
  const double taken = kFeedTimeTake * dur_s;
  return kept + taken;
}

}  // namespace quorvane::avatar

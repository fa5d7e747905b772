#include "avatar/sync_release.h"

#include <algorithm>
#include <cmath>

#include "avatar/playout_rule.h"

namespace quorvane::avatar {

double queued_seconds(double raw) {
  if (!std::isfinite(raw)) return 0.0;
  return py_max(raw, 0.0);
}

double picture_release(double now, double queued_s, double voice_s, double lead_s) {
  return now + py_max(queued_s - voice_s, 0.0) - lead_s;
}

double hold_timeout(double release, double now) { return py_max(release - now, 0.0); }

double held_release(double now, double start_s, double handed_s, double queued_s, double lead_s) {
  const double until_voice = start_s - (handed_s - queued_s);
  if (until_voice <= lead_s) return now;
  return now + std::min(until_voice - lead_s, lead_s);
}

}  // namespace quorvane::avatar

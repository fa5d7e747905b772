#include "open/session_stop.h"

#include <cmath>
#include <cstdio>

namespace quorvane::open {

const char* const kStopUnfinished = "unfinished";
const char* const kStopNoSpeech = "no-speech-in-utterance";
const char* const kStopIdleFrame = "idle-frame (avatar returned to rest)";

std::string quiet_deadline_text(double quiet_s) {
  std::string number;
  if (std::isnan(quiet_s)) {
    number = "nan";  // printf would keep a NaN's sign bit; the text never does
  } else {
    // printf's %.0f rounds the exact binary value to nearest, ties to even.
    // The largest double has 309 digits before the point.
    char buf[400];
    const int len = std::snprintf(buf, sizeof buf, "%.0f", quiet_s);
    number.assign(buf, static_cast<std::size_t>(len));
  }
  return "quiet-deadline (" + number + "s with no frame)";
}

}  // namespace quorvane::open

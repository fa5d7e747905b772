// How a session render ended: the texts kept in the session engine's `stop_reason`.
#pragma once

#include <string>

namespace quorvane::open {

/// Set when a render starts; it stays when the render does not reach one of the endings below.
extern const char* const kStopUnfinished;
/// After the end of input, speech never started and the quiet deadline passed.
extern const char* const kStopNoSpeech;
/// After the end of input, the avatar returned to rest.
extern const char* const kStopIdleFrame;

/// After the end of input, no frame came for `quiet_s` seconds: "quiet-deadline (<n>s with no
/// frame)", `quiet_s` written with no decimals, rounded half to even on its exact binary value
/// ("nan" for any NaN, "inf" and "-inf" for the infinities).
std::string quiet_deadline_text(double quiet_s);

}  // namespace quorvane::open

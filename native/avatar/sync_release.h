// The arithmetic of voice-first delivery: a frame's voice goes to the application's audio sink at
// once, its picture is held until that voice starts playing out of the sink. The sink reports how
// many seconds of audio it holds and has not yet played; the frame's own voice is the last part of
// that, so its playback begins once the rest has played.
//
// Pure functions on seconds of one monotonic clock, evaluated in the order Python evaluates the
// same formulas on floats.
#pragma once

namespace quorvane::avatar {

/// The sink's report as a usable amount: `raw` when it is finite and positive, 0.0 for a negative
/// report, and 0.0 for NaN or an infinity, which would hold pictures back for ever.
double queued_seconds(double raw);

/// When a picture may go out: `now + max(queued_s - voice_s, 0.0) - lead_s`, where `queued_s` is
/// the sink's report taken just after the picture's own `voice_s` seconds of voice were handed to
/// it, and `lead_s` lets the picture go slightly early.
double picture_release(double now, double queued_s, double voice_s, double lead_s);

/// Seconds to wait from `now` until `release`, never negative.
double hold_timeout(double release, double now);

/// A held picture's release time re-read from the sink once its first one has come: its voice
/// starts `start_s` seconds into the voice handed to the sink, of which `handed_s` seconds are
/// out and `queued_s` of them not yet played, so it starts `start_s - (handed_s - queued_s)`
/// seconds from `now`. Within one lead of that it goes out (`now`). Otherwise the result is the
/// time to look again: its start less `lead_s` if the sink plays on, but no later than one lead
/// from now, so that a sink that stopped playing keeps the picture held, and one that plays again
/// releases it at most one lead early, as ever, and never after its voice has started.
double held_release(double now, double start_s, double handed_s, double queued_s, double lead_s);

}  // namespace quorvane::avatar

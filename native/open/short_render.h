// The short-render check: how many frames a render may fall short by, and the texts that tell
// the user a render came out short.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane::open {

/// The fewest frames a render of `expected` frames may deliver: `expected` less the larger of 2
/// and `expected * frac` truncated toward zero. `expected * frac` must be finite; a product
/// beyond the int64 range is taken at that range's bound (the floor is then far below any
/// count of frames, as it would be exactly).
std::int64_t short_floor(std::int64_t expected, double frac);

/// The user's message when a render delivered `delivered` of the `expected` frames.
std::string stopped_early_message(std::int64_t delivered, std::int64_t expected);

/// The detail of that error: the engine, the counts, the floor, the frame rate as text and how
/// the render ended, as text.
std::string stopped_early_detail(const std::string& engine_id, std::int64_t delivered,
                                 std::int64_t floor, std::int64_t expected,
                                 const std::string& fps_text, const std::string& stop_text);

/// The user's message when no frame came out of a render that needed one.
extern const char* const kNoFramesMessage;

/// The detail of that error.
std::string no_frames_detail(const std::string& engine_id);

}  // namespace quorvane::open

// The host's one log writer: standard error, prefixed, one whole line per call, flushed at once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvane::m2 {

inline constexpr std::string_view LOG_PREFIX = "[render-stream-tensorhost]";

/// Writes "[render-stream-tensorhost] <parts joined by blanks>\n" to file descriptor 2 in one
/// write, looping over short writes. Throws OSError when standard error is closed or broken.
void elog_parts(const std::vector<std::string>& parts);

/// One-text form: the prefix, a blank and `text`.
void elog(std::string_view text);

}  // namespace quorvane::m2

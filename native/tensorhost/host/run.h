// The host program's start-up and run: bundle, colour table, chain and renderer, then the serve
// loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvane::m2 {

/// Loads the bundle and its colour table, builds the chain and the renderer, and serves.
/// Returns the serve loop's status.
int host_run(const std::string& bundle, const std::optional<std::string>& engine, int64_t threads);

}  // namespace quorvane::m2

// The host program's command line and start-up sequence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::m2 {

inline constexpr std::string_view USAGE =
    "usage: render_stream_tensorhost render-stream <bundle> [--engine <dir|.engine>] [--threads N]";

struct HostArgs {
  std::string bundle;                 // empty when no bundle token was found
  std::optional<std::string> engine;  // --engine value
  int64_t threads = 0;                // --threads value; 0 or less means automatic
  std::vector<std::string> extra;     // plain tokens after the bundle's (ignored, unless the
                                      // bundle's token is then an unknown sub-command)
};

/// Parses the argument vector (program name first). Options may stand anywhere; a later option
/// overrides an earlier one; an option with nothing after it, unknown options and "-" are skipped.
/// Throws ValueError naming the option and the value when --threads is not an integer.
HostArgs parse_args(const std::vector<std::string>& argv);

/// The program: parse, size threads, run. Returns the exit status: 2 for a missing bundle or an
/// unknown sub-command (a bare word that names nothing, followed by another plain token), with
/// the usage line; 1 for a bad thread count, with a line naming the option or variable.
int host_main(const std::vector<std::string>& argv);

}  // namespace quorvane::m2

// Staging of model members: bytes of a container or zip member written to a private temporary
// file that LiteRT can load from a path, recorded until the chain has loaded it or the process ends.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::m2 {

/// The process-wide list of staged files, oldest first. Used from the main thread only (start-up
/// and the exit hook); not locked.
std::vector<std::string>& staged();

/// Deletes each path of `paths` that is on the staged list; a path deleted is taken off the list
/// (its first occurrence). Paths not staged here are never touched. A failed deletion is ignored
/// and leaves the path listed, so the exit hook tries again.
void release_staged(const std::vector<std::string>& paths);

/// Deletes every staged file, newest first, ignoring failures. The list is empty afterwards.
void drop_staged();

/// The staging directory from MIRRANT2_STAGE_DIR (created with its parents), or nullopt for the
/// system's default temporary directory. An unusable directory is logged and gives nullopt.
std::optional<std::string> stage_dir();

/// A file that holds member `nm` of `bundle`: the member file itself when `bundle` is a directory
/// holding it as a regular file, else a new owner-only temporary file named "..._<basename of nm>"
/// holding `data`, recorded on the staged list only once it is written and closed.
/// Throws OSError when the file cannot be created or written.
std::string stage_tflite(const std::string& bundle, const std::string& nm, std::string_view data);

}  // namespace quorvane::m2

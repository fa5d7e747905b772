// Staging of model members: bytes of a container or zip member written to a private temporary
// file that LiteRT can load from a path, recorded until the chain has loaded it or the process ends.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::m2 {

/// The process-wide list of staged files, oldest first. Changed from the main thread only
/// (start-up and the exit hook), always under staged_lock(), which the signal clean-up takes too.
std::vector<std::string>& staged();
std::unique_lock<std::mutex> staged_lock();

/// The file being staged, before it is written whole and recorded; empty between stagings. Read
/// and changed under staged_lock().
std::string& staging_in_progress();

/// For a process that a signal is about to end, from any thread: deletes every staged file and
/// the one being written, then keeps the list locked, so that nothing is staged after it.
void drop_staged_for_good();

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

/// Member `nm` of `bundle` as stage_tflite gives it, its bytes streamed from the bundle into the
/// staged file rather than held in memory; nullopt when the bundle holds no such member. Throws
/// MemberTooLarge for a member above MEMBER_CEILING (no file is left), else as read_member and
/// stage_tflite.
std::optional<std::string> stage_member(const std::string& bundle, const std::string& nm);

}  // namespace quorvane::m2

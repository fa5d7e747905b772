// The process-wide list of staged model files: what the chain has not loaded yet, deleted once
// loaded, at exit, or when a signal ends the process.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace quorvane::m2 {

/// The process-wide list of staged files, oldest first. Changed from the main thread only
/// (start-up and the exit hook), always under staged_lock(), which the signal clean-up takes too.
std::vector<std::string>& staged();
std::unique_lock<std::mutex> staged_lock();

/// The file being staged, before it is written whole and recorded; empty between stagings. Read
/// and changed under staged_lock().
std::string& staging_in_progress();

/// The staging directory this process owns (its parent made it for this host alone), removed once
/// it is empty at the end; empty when it owns none. Set once at start-up, before anything is staged.
std::string& owned_stage_dir();

/// For a process that a signal is about to end, from any thread: deletes every staged file and
/// the one being written and the owned staging directory, then keeps the list locked, so that
/// nothing is staged after it.
void drop_staged_for_good();

/// Deletes each path of `paths` that is on the staged list; a path deleted is taken off the list
/// (its first occurrence). Paths not staged here are never touched. A failed deletion is ignored
/// and leaves the path listed, so the exit hook tries again.
void release_staged(const std::vector<std::string>& paths);

/// Deletes every staged file, newest first, ignoring failures, then the owned staging directory
/// when nothing else is left in it. The list is empty afterwards.
void drop_staged();

}  // namespace quorvane::m2

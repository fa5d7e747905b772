// Advisory whole-file locks of cache entries (flock semantics: a lock belongs to the open file
// description, so two opens of one file conflict even inside one process, and a lock lasts until
// its last descriptor is closed). The lock file, an entry's manifest.json, is opened without
// following a link and without blocking, and only a regular file is locked. Nothing here needs
// the Python interpreter lock.
#pragma once

#include <string>

#include "open/fs.h"

namespace quorvane::open {

/// flock(fd, LOCK_SH or LOCK_EX, combined with LOCK_NB), retried when a signal interrupts it.
/// Returns 0, or the errno of the refusal (EWOULDBLOCK while another description holds a
/// conflicting lock).
int try_flock(int fd, bool exclusive) noexcept;

/// Opens the lock file `manifest` read-only (no link followed, no wait); an invalid descriptor
/// when it cannot be opened or is no regular file. Throws ValueError for a NUL in the path.
UniqueFd open_lock_file(const std::string& manifest);

/// Opens `manifest` as open_lock_file does and takes a shared non-blocking lock on it; the
/// descriptor that holds the lock, or an invalid one when the file cannot be opened or the lock
/// is refused (the descriptor is then closed at once). Throws ValueError for a NUL in the path.
UniqueFd take_shared_lock(const std::string& manifest);

/// Whether the open descriptor `fd` is the file now at `path` (same device and inode, links
/// followed). False when either cannot be looked at: a lock taken through `fd` then guards
/// nothing found at `path`.
bool is_file_at(int fd, const std::string& path) noexcept;

/// Whether an exclusive non-blocking lock on `manifest` is refused: true when some other open of
/// the file holds a lock (or the lock call fails for any reason), false when the lock is granted
/// (it is dropped again at once) or the file cannot be opened or is no regular file. Throws
/// ValueError for a NUL.
bool exclusive_refused(const std::string& manifest);

}  // namespace quorvane::open

// Bytes held below a directory, measured as a top-down walk that never enters linked directories.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane::open {

/// The sum of the sizes (lstat st_size: reported lengths, not allocated blocks) of every name
/// below `path` that is not a directory; a symbolic link that leads to a directory counts as a
/// directory (adds nothing and is not entered), any other link counts by its own size. A
/// directory that cannot be listed, or whose listing breaks off, adds nothing; a name whose
/// status fails adds nothing. 0 when `path` is no directory. Throws ValueError for a NUL in
/// `path`. Needs no interpreter lock.
std::uint64_t du(const std::string& path);

}  // namespace quorvane::open

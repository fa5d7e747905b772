// Plain file-descriptor I/O that loops over short transfers and interrupted calls.
#pragma once

#include <cstddef>

namespace quorvane::m2 {

/// Writes all `n` bytes to `fd`. Throws OSError on failure (EPIPE for a reader that has gone;
/// the process ignores SIGPIPE, as the Python interpreter sets it up).
void write_all(int fd, const void* data, size_t n);

/// Reads until `n` bytes have arrived or input ends. Returns the count read (less than `n` only
/// at end of input). Throws OSError on a read error.
size_t read_full(int fd, void* data, size_t n);

}  // namespace quorvane::m2

// Plain file-descriptor I/O that loops over short transfers and interrupted calls.
#pragma once

#include <cstddef>

namespace quorvane::m2 {

/// What a transfer does when a signal interrupts it (EINTR): called before the call is retried,
/// and may throw to abandon the transfer. The binding installs one that runs the interpreter's
/// signal handlers, so that Ctrl-C ends a host blocked on its pipes as it would end Python code.
/// Null (the default) retries silently. Installed once at module load; read from any thread.
using InterruptHook = void (*)();
void set_interrupt_hook(InterruptHook hook);

/// Runs the interrupt hook, if any. Called by every loop below on EINTR; may throw what it throws.
void on_interrupted();

/// Writes all `n` bytes to `fd`. Throws OSError on failure (EPIPE for a reader that has gone;
/// the process ignores SIGPIPE, as the Python interpreter sets it up).
void write_all(int fd, const void* data, size_t n);

/// Reads until `n` bytes have arrived or input ends. Returns the count read (less than `n` only
/// at end of input). Throws OSError on a read error.
size_t read_full(int fd, void* data, size_t n);

}  // namespace quorvane::m2

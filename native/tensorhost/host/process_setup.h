// Process-wide settings the host program makes for itself before it loads anything: how fast it
// runs, and how it ends when it is told to stop by a signal.
#pragma once

namespace quorvane::m2 {

/// Opens /dev/null on each of file descriptors 0, 1 and 2 that is closed, before anything else
/// opens a descriptor. Otherwise the host's own pipes and files would take those numbers: the
/// serve loop would read request words from whatever landed on 0, and the start-up line and the
/// log would go into it. A stream given closed thus reads as at its end (the host then exits with
/// status 0 once it is ready) or swallows what is written to it.
void claim_standard_descriptors();

/// Keeps large blocks in the heap for reuse. Every chunk allocates and frees the same few blocks
/// of 20 to 60 MB (the decoder's float frames, its input rows, the RGB888 frames). Left to the
/// allocator's defaults, the decoder's two 57 MB batches are mapped fresh for every chunk and
/// unmapped after it: measured on the demo avatar, 28,000 page faults inside the decoder call and
/// 6 to 20 ms of unmapping per chunk, more than the RGB888 conversion itself. Freed memory then
/// stays with the process: its resident size holds at the high-water mark of one chunk instead of
/// rising and falling with every chunk. A no-op where the C library has no such settings.
void keep_large_blocks_in_heap();

/// Widens the pipe behind `fd` to 1 MiB (or the system's per-pipe limit, if lower) when `fd` is a
/// pipe narrower than that. A frame record is 878 KiB: through the default 64 KiB pipe, writer
/// and reader hand over the CPU fourteen times per frame. Anything that is not a pipe, or a
/// refusal (a user's pipe memory quota), leaves `fd` as it is.
void widen_output_pipe(int fd);

/// From here on SIGINT, SIGTERM and SIGHUP (unless it is ignored) end the process the same way at
/// any moment, start-up included: staged model files (and one being written) are deleted, and
/// the owned staging directory with them, a log line names the signal,
/// and the process ends by that signal with its default disposition, so the parent sees the
/// signal as the cause. They replace the interpreter's handlers, which run only between Python
/// steps of the main thread and so could notice a signal late, or never, while native code runs;
/// whichever thread a signal lands on hands it to one clean-up thread of their own.
void end_by_signals_after_clean_up();

}  // namespace quorvane::m2

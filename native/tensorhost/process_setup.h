// Process-wide settings the host program makes for itself before it loads anything: they change
// how fast the host runs, never what it writes.
#pragma once

namespace quorvane::m2 {

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

}  // namespace quorvane::m2

// Float frames to RGB888 bytes: the byte mapping, the in-place fast path, the general path, and
// the chunk conversion that spreads a chunk's frames over the process-wide worker pool.
//
// A float frame is (3, FH, FW), planes R, G, B, nominal range 0 to 1. A value v becomes the byte
// trunc(clip(v * 255, 0, 255)), the product rounded to the frame's own precision; NaN becomes 0.
// An RGB888 frame is (FH, FW, 3): FRAME_BYTES bytes, rows top first, pixels R, G, B.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "tensorhost/chain/tensor.h"
#include "tensorhost/kernels/colour.h"

namespace quorvane::m2 {

/// One input frame: float32 (`f32`) or, when `is_f64`, float64 (`f64`).
/// A writable float32 frame of shape exactly (3, FH, FW) takes the fast path and is overwritten
/// with its scaled and clipped values (0.0 to 255.0; NaN stays NaN). Every other frame takes the
/// general path and is only read; it must be 3-D, hold 3 planes and 3 * FH * FW values, and be
/// C-contiguous and aligned.
///
/// A fast-path frame may be laid out in any way: when `f32_byte_strides` is set (three byte
/// strides, any sign, the data pointer possibly unaligned) it is read into a per-thread scratch,
/// converted there and its scaled values written back, element by element.
struct RgbFrame {
  FloatTensor f32;
  std::vector<int64_t> f32_byte_strides;  // empty: C-contiguous and aligned
  Tensor<double> f64;
  bool is_f64 = false;

  RgbFrame() = default;
  RgbFrame(FloatTensor t) : f32(std::move(t)) {}  // NOLINT: a float32 frame converts implicitly
  explicit RgbFrame(Tensor<double> t) : f64(std::move(t)), is_f64(true) {}
  /// A writable (3, FH, FW) float32 frame with its own layout (byte strides per axis).
  RgbFrame(FloatTensor t, std::vector<int64_t> byte_strides)
      : f32(std::move(t)), f32_byte_strides(std::move(byte_strides)) {}

  /// True when the frame takes the in-place fast path.
  bool fast() const;
};

/// The byte of one value: single-precision product for float, double for double; NaN gives 0.
inline uint8_t rgb_byte(float v) {
  float p = v * 255.0f;
  if (!(p > 0.0f)) return 0;
  if (p >= 255.0f) return 255;
  return static_cast<uint8_t>(p);
}
inline uint8_t rgb_byte(double v) {
  double p = v * 255.0;
  if (!(p > 0.0)) return 0;
  if (p >= 255.0) return 255;
  return static_cast<uint8_t>(p);
}

/// General path for one frame: a new (FH, FW, 3) uint8 tensor, with `cc` (may be null) applied.
/// Never modifies the frame. Throws ValueError for a frame of the wrong shape; whatever
/// cc->apply() throws passes through.
ByteTensor px_to_rgb888(const RgbFrame& frame, const ColorCorrect* cc);

/// Converts frames lo .. hi-1 of `px` into entries lo .. hi-1 of `u8` (FRAME_BYTES each, so `u8`
/// must hold at least hi * FRAME_BYTES bytes) on the calling thread, through this thread's planar
/// scratch (allocated on the thread's first call, reused, freed when the thread ends). A failure
/// ends the range at the failing frame and propagates.
void rgb_convert_range(const std::vector<RgbFrame>& px, uint8_t* u8, int64_t lo, int64_t hi,
                       const ColorCorrect* cc);

/// The ranges a chunk of n frames is split into for `threads` workers: threads is clamped to
/// min(max(1, threads), n); one range [0, n) when that is at most 1 (run on the caller's thread),
/// else ranges of ceil(n / threads) frames, one pool task each, in queue order.
std::vector<std::pair<int64_t, int64_t>> rgb_ranges(int64_t n, int64_t threads);

/// Converts a whole chunk: a new, uninitialised (n, FH, FW, 3) uint8 tensor, every entry written.
/// With two or more threads (after the clamp) the ranges run as tasks on the process-wide pool
/// (created on first use) and the call waits for all of them; then the first failed task in
/// queue order has its error rethrown. Frames whose memory overlaps another frame's are converted
/// on the caller's thread, in order, so no two threads ever touch the same bytes.
///
/// Touches no Python object unless `cc` is a correction implemented in Python (custom_apply());
/// such a correction takes the interpreter lock itself, so call this with the lock released.
/// The frames and `cc` must stay alive and unchanged by others until the call returns.
ByteTensor px_to_rgb888_chunk(const std::vector<RgbFrame>& px, const ColorCorrect* cc,
                              int64_t threads);
ByteTensor px_to_rgb888_chunk(const std::vector<FloatTensor>& px, const ColorCorrect* cc,
                              int64_t threads);
/// Same for a 4-D (n, 3, FH, FW) float32 tensor; its frames are views of it.
ByteTensor px_to_rgb888_chunk(const FloatTensor& px, const ColorCorrect* cc, int64_t threads);

/// The conversion thread count, at least 1: MIRRANT2_RGB_THREADS when it holds an integer
/// (surrounding white space allowed; values below 1 give 1), else max(1, min(8, usable CPUs / 3)).
/// A value that is not an integer is logged once per call and replaced by the default.
/// Throws OSError only when that log line cannot be written.
int64_t rgb_threads();

/// Whether the calling thread has its planar scratch yet.
bool rgb_thread_has_planar();

}  // namespace quorvane::m2

// The renderer's audio store: an append-only stream of float32 samples addressed by absolute
// sample index, of which only a suffix (the live samples) stays in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "tensorhost/chain/tensor.h"

namespace quorvane::m2 {

/// A sliding window over an endless float32 sample stream.
///
/// The live samples [base(), fed()) sit contiguously in one storage block. Appends grow the
/// block geometrically, but first compact it in place when the stale prefix frees enough room;
/// discard_before() drops old samples and shrinks a mostly empty block, so memory stays
/// proportional to the live samples and each sample costs amortised constant time.
///
/// The storage block is reference counted: a view from live() or storage() keeps its block
/// alive after the buffer has reallocated or shrunk, so a stale view never reads freed memory.
/// Its values, though, are only meaningful until the next append() or discard_before(): an
/// in-place compaction rewrites the block under it.
///
/// Not thread-safe: one owner on one thread.
class SlidingPCM {
 public:
  static constexpr int64_t DEFAULT_MINIMUM_CAPACITY = 51200;

  /// An empty buffer; nothing is allocated yet. `minimum_capacity` (samples) is the smallest
  /// block ever allocated and the floor below which the buffer never shrinks.
  /// Throws ValueError "positive capacity required" when it is not greater than 0.
  explicit SlidingPCM(int64_t minimum_capacity = DEFAULT_MINIMUM_CAPACITY);

  /// Appends `n` contiguous samples. `data` may point into this buffer's own storage (a view of
  /// live()): overlapping input is detected by address, copied aside first and counted in
  /// aliased_samples_snapshotted(). n = 0 is a no-op. Throws ValueError when n < 0,
  /// std::bad_alloc when the block cannot grow; on any throw the buffer is unchanged.
  void append(const float* data, int64_t n);

  /// Appends `n` samples read from `first`, `first + stride_bytes`, ... (a strided, possibly
  /// unaligned or reversed source, such as a non-contiguous NumPy array). The same overlap rule
  /// as append() applies to the whole byte range the samples span.
  void append_strided(const std::byte* first, int64_t n, int64_t stride_bytes);

  /// Drops every live sample with an absolute index below `absolute_sample`. An index below
  /// base() drops nothing; one beyond fed() drops every live sample and leaves base() = fed().
  /// Then shrinks the block when it is larger than the minimum and at most a quarter live.
  /// Throws ValueError "nonnegative absolute sample offset required" for a negative index.
  void discard_before(int64_t absolute_sample);

  /// Moves the live samples to the front of a new block of `capacity` samples; the old block is
  /// released (views of it stay valid). Throws ValueError when `capacity` is below the live count.
  void allocate(int64_t capacity);

  /// Read-only 1-D view of the live samples, in absolute order, without copying; shares the
  /// storage block's ownership.
  FloatTensor live() const;
  /// Read-only 1-D view of the whole storage block (capacity() samples, undefined outside the
  /// live region).
  FloatTensor storage() const;

  int64_t minimum_capacity() const { return minimum_capacity_; }
  int64_t capacity() const { return capacity_; }
  /// Index in storage() of the first live sample.
  int64_t start() const { return start_; }
  /// Index in storage() one past the last live sample.
  int64_t end() const { return end_; }
  int64_t live_samples() const { return end_ - start_; }
  /// Absolute sample index of the first live sample.
  int64_t base() const { return base_; }
  /// Absolute sample index one past the last appended sample: samples appended since creation.
  int64_t fed() const { return fed_; }
  /// Samples copied in by append().
  int64_t appended_samples() const { return appended_samples_; }
  /// Live samples moved by compaction or reallocation.
  int64_t moved_samples() const { return moved_samples_; }
  /// Number of storage blocks allocated.
  int64_t allocations() const { return allocations_; }
  /// Appended samples that were copied aside first because they overlapped the storage.
  int64_t aliased_samples_snapshotted() const { return aliased_samples_snapshotted_; }
  /// Largest capacity allocated, in samples.
  int64_t peak_capacity() const { return peak_capacity_; }

 private:
  // Makes room for `n` more samples after end_: compacts in place or reallocates.
  void reserve_tail(int64_t n);
  // True when the bytes [lo, hi) may share memory with the current storage block.
  bool overlaps_storage(const std::byte* lo, const std::byte* hi) const;

  int64_t minimum_capacity_;
  std::shared_ptr<float[]> storage_;
  int64_t capacity_ = 0;
  int64_t start_ = 0;
  int64_t end_ = 0;
  int64_t base_ = 0;
  int64_t fed_ = 0;
  int64_t appended_samples_ = 0;
  int64_t moved_samples_ = 0;
  int64_t allocations_ = 0;
  int64_t aliased_samples_snapshotted_ = 0;
  int64_t peak_capacity_ = 0;
};

}  // namespace quorvane::m2

#include "tensorhost/kernels/pcm_buffer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

namespace {

constexpr int64_t kSampleBytes = static_cast<int64_t>(sizeof(float));

// Copies `n` samples from a strided byte source; memcpy per sample so that unaligned sources
// are read without undefined behaviour.
void gather(float* dst, const std::byte* first, int64_t n, int64_t stride_bytes) {
  if (stride_bytes == kSampleBytes) {
    std::memcpy(dst, first, static_cast<size_t>(n) * sizeof(float));
    return;
  }
  for (int64_t k = 0; k < n; ++k) std::memcpy(dst + k, first + k * stride_bytes, sizeof(float));
}

}  // namespace

SlidingPCM::SlidingPCM(int64_t minimum_capacity) : minimum_capacity_(minimum_capacity) {
  if (minimum_capacity <= 0) throw ValueError("positive capacity required");
}

bool SlidingPCM::overlaps_storage(const std::byte* lo, const std::byte* hi) const {
  if (!storage_ || capacity_ == 0) return false;
  // Compared as integers: relational operators on pointers into different objects are
  // unspecified.
  auto s_lo = reinterpret_cast<uintptr_t>(storage_.get());
  auto s_hi = s_lo + static_cast<uintptr_t>(capacity_) * sizeof(float);
  return reinterpret_cast<uintptr_t>(lo) < s_hi && s_lo < reinterpret_cast<uintptr_t>(hi);
}

void SlidingPCM::append(const float* data, int64_t n) {
  append_strided(reinterpret_cast<const std::byte*>(data), n, kSampleBytes);
}

void SlidingPCM::append_strided(const std::byte* first, int64_t n, int64_t stride_bytes) {
  if (n < 0) throw ValueError("negative sample count");
  if (n == 0) return;
  const int64_t span = stride_bytes * (n - 1);
  const std::byte* lo = first + std::min<int64_t>(span, 0);
  const std::byte* hi = first + std::max<int64_t>(span, 0) + kSampleBytes;
  if (overlaps_storage(lo, hi)) {
    // Growing or compacting would move the very samples being appended: take them out first.
    std::vector<float> snapshot(static_cast<size_t>(n));
    gather(snapshot.data(), first, n, stride_bytes);
    reserve_tail(n);
    std::memcpy(storage_.get() + end_, snapshot.data(), static_cast<size_t>(n) * sizeof(float));
    aliased_samples_snapshotted_ += n;
  } else {
    reserve_tail(n);
    gather(storage_.get() + end_, first, n, stride_bytes);
  }
  end_ += n;
  fed_ += n;
  appended_samples_ += n;
}

void SlidingPCM::reserve_tail(int64_t n) {
  if (capacity_ - end_ >= n) return;
  const int64_t live_count = end_ - start_;
  if (capacity_ >= live_count + n) {
    // Source and destination overlap when the stale prefix is shorter than the live region.
    std::memmove(storage_.get(), storage_.get() + start_,
                 static_cast<size_t>(live_count) * sizeof(float));
    moved_samples_ += live_count;
    start_ = 0;
    end_ = live_count;
    return;
  }
  allocate(std::max({2 * capacity_, live_count + n, minimum_capacity_}));
}

void SlidingPCM::allocate(int64_t capacity) {
  const int64_t live_count = end_ - start_;
  if (capacity < live_count) throw ValueError("capacity below the live sample count");
  // Throws before any field changes; a view may keep the old block alive after the swap.
  std::shared_ptr<float[]> block(new float[static_cast<size_t>(capacity)]);
  if (live_count > 0) {
    std::memcpy(block.get(), storage_.get() + start_,
                static_cast<size_t>(live_count) * sizeof(float));
  }
  moved_samples_ += live_count;
  storage_ = std::move(block);
  capacity_ = capacity;
  start_ = 0;
  end_ = live_count;
  allocations_ += 1;
  peak_capacity_ = std::max(peak_capacity_, capacity);
}

void SlidingPCM::discard_before(int64_t absolute_sample) {
  if (absolute_sample < 0) throw ValueError("nonnegative absolute sample offset required");
  const int64_t drop = std::min(std::max<int64_t>(absolute_sample - base_, 0), end_ - start_);
  start_ += drop;
  base_ += drop;
  const int64_t live_count = end_ - start_;
  if (capacity_ > minimum_capacity_ && live_count <= capacity_ / 4) {
    allocate(std::max(2 * live_count, minimum_capacity_));
  }
}

namespace {

FloatTensor empty_view() {
  FloatTensor t = FloatTensor::empty({0});
  t.writable = false;
  return t;
}

}  // namespace

FloatTensor SlidingPCM::live() const {
  if (!storage_) return empty_view();
  FloatTensor t;
  t.owner = std::shared_ptr<const void>(storage_, storage_.get());
  t.data = storage_.get() + start_;
  t.shape = {end_ - start_};
  t.writable = false;
  return t;
}

FloatTensor SlidingPCM::storage() const {
  if (!storage_) return empty_view();
  FloatTensor t;
  t.owner = std::shared_ptr<const void>(storage_, storage_.get());
  t.data = storage_.get();
  t.shape = {capacity_};
  t.writable = false;
  return t;
}

}  // namespace quorvane::m2

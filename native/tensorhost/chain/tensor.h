// Arrays that cross the core's interfaces: a data pointer, a shape, and an opaque owner that keeps
// the storage alive. Views share their parent's owner, so a view held by a caller can never outlive
// its bytes. The owner is type-erased: it may be core storage or, behind the LiteRT runner and the
// binding, a Python object released under the interpreter lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <type_traits>
#include <vector>

namespace quorvane::m2 {

/// Raw storage for `count` elements of `elem_bytes` each (at least one byte is allocated, so an
/// empty tensor still has an owner), uninitialised, suitably aligned for any element type; freed
/// when the last owner goes. Blocks of 4 MiB and more sit on 2 MiB boundaries and are advised to
/// the kernel as huge-page candidates, as NumPy does for its own large arrays: a decoder-row or
/// RGB888 chunk then takes a dozen page faults on first touch instead of thousands.
/// Throws std::bad_alloc when the memory cannot be had or the size overflows.
/// Thread-safe.
std::shared_ptr<void> allocate_storage(int64_t count, size_t elem_bytes);

template <class T>
struct Tensor {
  static_assert(std::is_trivially_copyable_v<T>, "tensor storage is raw, uninitialised memory");

  std::shared_ptr<const void> owner;  // keeps `data` alive; never null for a non-empty tensor
  T* data = nullptr;
  std::vector<int64_t> shape;
  bool writable = true;

  int64_t size() const {
    return std::accumulate(shape.begin(), shape.end(), int64_t{1}, std::multiplies<>());
  }

  /// A fresh, uninitialised, writable tensor that owns its storage (allocate_storage()).
  static Tensor empty(std::vector<int64_t> shp) {
    Tensor t;
    t.shape = std::move(shp);
    std::shared_ptr<void> block = allocate_storage(t.size(), sizeof(T));
    t.data = static_cast<T*>(block.get());
    t.owner = std::move(block);
    return t;
  }

  /// A fresh tensor filled with zeros.
  static Tensor zeros(std::vector<int64_t> shp) {
    Tensor t = empty(std::move(shp));
    std::fill(t.data, t.data + t.size(), T{});
    return t;
  }

  /// Row `i` of the first axis as a view sharing this tensor's owner.
  Tensor row(int64_t i) const {
    Tensor v;
    v.owner = owner;
    v.shape.assign(shape.begin() + 1, shape.end());
    v.data = data + i * v.size();
    v.writable = writable;
    return v;
  }
};

using FloatTensor = Tensor<float>;
using ByteTensor = Tensor<uint8_t>;

/// One output frame pair: the frame index and a read-only view of FRAME_BYTES RGB888 bytes.
struct FramePair {
  int64_t index = 0;
  std::shared_ptr<const void> owner;  // the chunk's RGB block (shared by the chunk's frames)
  const uint8_t* rgb = nullptr;
  size_t n_bytes = 0;
};

}  // namespace quorvane::m2

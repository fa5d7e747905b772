// Arrays that cross the core's interfaces: a data pointer, a shape, and an opaque owner that keeps
// the storage alive. Views share their parent's owner, so a view held by a caller can never outlive
// its bytes. The owner is type-erased: it may be core storage or, behind the LiteRT runner and the
// binding, a Python object released under the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

namespace quorvane::m2 {

template <class T>
struct Tensor {
  std::shared_ptr<const void> owner;  // keeps `data` alive; never null for a non-empty tensor
  T* data = nullptr;
  std::vector<int64_t> shape;
  bool writable = true;

  int64_t size() const {
    return std::accumulate(shape.begin(), shape.end(), int64_t{1}, std::multiplies<>());
  }

  /// A fresh, uninitialised, writable tensor that owns its storage.
  static Tensor empty(std::vector<int64_t> shp) {
    Tensor t;
    t.shape = std::move(shp);
    auto n = static_cast<size_t>(t.size());
    std::shared_ptr<T[]> block(new T[n > 0 ? n : 1]);
    t.data = block.get();
    t.owner = std::shared_ptr<const void>(block, block.get());
    return t;
  }

  /// A fresh tensor filled with zeros.
  static Tensor zeros(std::vector<int64_t> shp) {
    Tensor t;
    t.shape = std::move(shp);
    auto n = static_cast<size_t>(t.size());
    std::shared_ptr<T[]> block(new T[n > 0 ? n : 1]());
    t.data = block.get();
    t.owner = std::shared_ptr<const void>(block, block.get());
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

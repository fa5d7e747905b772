#include "tensorhost/chain/tensor.h"

#include <cstdlib>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvane::m2 {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kLargeBlock = size_t{4} << 20;

}  // namespace

std::shared_ptr<void> allocate_storage(int64_t count, size_t elem_bytes) {
  const auto n = static_cast<size_t>(std::max<int64_t>(count, 0));
  if (elem_bytes != 0 && n > (std::numeric_limits<size_t>::max() - kHugePage) / elem_bytes) {
    throw std::bad_alloc();
  }
  const size_t bytes = n * elem_bytes;
  void* p = nullptr;
  if (bytes < kLargeBlock) {
    p = std::malloc(bytes > 0 ? bytes : 1);
  } else {
    // Whole huge pages, so that the advice covers the block to its end.
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    p = std::aligned_alloc(kHugePage, rounded);
#if defined(MADV_HUGEPAGE)
    // Only advice: where the kernel declines, the block is merely slower to touch first.
    if (p != nullptr) (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
  }
  if (p == nullptr) throw std::bad_alloc();
  return std::shared_ptr<void>(p, std::free);
}

}  // namespace quorvane::m2

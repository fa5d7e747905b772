#include "tensorhost/process_setup.h"

#include <fcntl.h>

#include <algorithm>
#include <fstream>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorvane::m2 {

namespace {

constexpr int kWidePipeBytes = 1 << 20;

}  // namespace

void keep_large_blocks_in_heap() {
#if defined(__GLIBC__)
  // The mapping threshold cannot be raised above 32 MiB, below the decoder's 57 MB batches, so
  // large mappings are turned off instead; with trimming off as well, a freed block is there for
  // the next chunk's allocation of the same size.
  ::mallopt(M_MMAP_MAX, 0);
  ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

void widen_output_pipe(int fd) {
#if defined(F_GETPIPE_SZ) && defined(F_SETPIPE_SZ)
  const int now = ::fcntl(fd, F_GETPIPE_SZ);
  if (now < 0) return;  // not a pipe
  int limit = kWidePipeBytes;
  std::ifstream max_file("/proc/sys/fs/pipe-max-size");
  long max_bytes = 0;
  if (max_file >> max_bytes && max_bytes > 0) limit = static_cast<int>(std::min<long>(limit, max_bytes));
  if (now < limit) ::fcntl(fd, F_SETPIPE_SZ, limit);
#else
  (void)fd;
#endif
}

}  // namespace quorvane::m2

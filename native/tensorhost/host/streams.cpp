#include "tensorhost/host/streams.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "tensorhost/host/errors.h"
#include "tensorhost/host/fdio.h"

namespace quorvane::m2 {

void OutStream::write(const void* data, size_t n) {
  if (buf_.size() + n <= capacity_) {
    const char* p = static_cast<const char*>(data);
    buf_.insert(buf_.end(), p, p + n);
    return;
  }
  iovec iov[2] = {{buf_.data(), buf_.size()}, {const_cast<void*>(data), n}};
  int first = buf_.empty() ? 1 : 0;
  try {
    while (first < 2) {
      ssize_t w = ::writev(fd_, iov + first, 2 - first);
      if (w < 0) {
        if (errno == EINTR) {
          on_interrupted();
          continue;
        }
        throw OSError(errno);
      }
      auto left = static_cast<size_t>(w);
      while (first < 2 && left >= iov[first].iov_len) {
        left -= iov[first].iov_len;
        iov[first].iov_len = 0;
        ++first;
      }
      if (first < 2) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
      }
    }
  } catch (...) {
    // Some of the pending bytes may be out already: sending them again would break the record
    // framing, so a stream whose write failed keeps nothing for a second attempt.
    buf_.clear();
    throw;
  }
  buf_.clear();
}

void OutStream::flush() {
  if (buf_.empty()) return;
  try {
    write_all(fd_, buf_.data(), buf_.size());
  } catch (...) {
    buf_.clear();  // as in write(): a prefix may have gone out
    throw;
  }
  buf_.clear();
}

size_t InStream::read_full(void* data, size_t n) { return quorvane::m2::read_full(fd_, data, n); }

InStream& std_in() {
  static auto* s = new InStream(0);
  return *s;
}

OutStream& std_out() {
  // Leaked on purpose: usable from exit hooks after static destruction has begun.
  static auto* s = new OutStream(1);
  return *s;
}

}  // namespace quorvane::m2

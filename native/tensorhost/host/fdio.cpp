#include "tensorhost/host/fdio.h"

#include <atomic>
#include <cerrno>
#include <unistd.h>

#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

namespace {

std::atomic<InterruptHook>& hook_slot() {
  static std::atomic<InterruptHook> hook{nullptr};
  return hook;
}

}  // namespace

void set_interrupt_hook(InterruptHook hook) { hook_slot().store(hook); }

void on_interrupted() {
  if (InterruptHook hook = hook_slot().load()) hook();
}

void write_all(int fd, const void* data, size_t n) {
  auto* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) {
        on_interrupted();
        continue;
      }
      throw OSError(errno);
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

size_t read_full(int fd, void* data, size_t n) {
  auto* p = static_cast<char*>(data);
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) {
        on_interrupted();
        continue;
      }
      throw OSError(errno);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

}  // namespace quorvane::m2

// The host's byte streams over standard input and output. Standard output is buffered by us, not
// by Python, so the serve loop never runs Python code per frame; the binding flushes what is still
// pending when the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvane::m2 {

/// Buffered writer over a file descriptor. Small writes are gathered; a write that does not fit
/// goes out together with the pending bytes in one gathered system call, so a frame record costs
/// no copy of its pixels. Nothing reaches the descriptor before flush() except through such a
/// gathered write. Throws OSError (EPIPE when the reader has gone); after a failed write or flush
/// nothing stays pending, since part of it may already be out and a retry would duplicate it.
class OutStream {
 public:
  explicit OutStream(int fd, size_t capacity = 1 << 16) : fd_(fd), capacity_(capacity) {
    buf_.reserve(capacity);
  }
  void write(const void* data, size_t n);
  void flush();
  int fd() const { return fd_; }
  size_t pending() const { return buf_.size(); }

 private:
  int fd_;
  size_t capacity_;
  std::vector<char> buf_;
};

/// Unbuffered reader over a file descriptor: every read asks for exactly what the caller needs.
class InStream {
 public:
  explicit InStream(int fd) : fd_(fd) {}
  /// Reads until `n` bytes arrived or input ended; returns the count read.
  size_t read_full(void* data, size_t n);
  int fd() const { return fd_; }

 private:
  int fd_;
};

/// The process's standard streams as used by the host (file descriptors 0 and 1).
InStream& std_in();
OutStream& std_out();

}  // namespace quorvane::m2

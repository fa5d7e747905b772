#include "tensorhost/host/process_setup.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fstream>
#include <thread>

#include "tensorhost/bundle/staging.h"
#include "tensorhost/host/log.h"

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

void claim_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: this very one, since the ones below it are open by now.
    const int got = ::open("/dev/null", O_RDWR);
    if (got < 0) return;  // no /dev/null: nothing to stand in for the stream
    if (got != fd) {
      ::dup2(got, fd);
      ::close(got);
    }
  }
}

namespace {

// A descriptor of the host's own, never one of the standard streams' numbers.
int above_standard_streams(int fd) {
  if (fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return fd;
  ::close(fd);
  return moved;
}

int g_signal_pipe_write = -1;

// Runs on whichever thread the signal lands on, so it only wakes the clean-up thread.
void forward_signal(int sig) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t w = ::write(g_signal_pipe_write, &byte, 1);
  errno = saved;
}

[[noreturn]] void clean_up_and_end(int sig) {
  drop_staged_for_good();
  try {
    elog(std::string(sig == SIGINT ? "SIGINT" : sig == SIGHUP ? "SIGHUP" : "SIGTERM") + " \u2014 exiting");
  } catch (const std::exception&) {
    // standard error gone: the status still says what happened
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  sigset_t one;
  ::sigemptyset(&one);
  ::sigaddset(&one, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);  // not reached: the default disposition of each ends the process
}

}  // namespace

void end_by_signals_after_clean_up() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  fds[0] = above_standard_streams(fds[0]);
  fds[1] = above_standard_streams(fds[1]);
  g_signal_pipe_write = fds[1];
  std::thread([rd = fds[0]] {
    for (;;) {
      unsigned char byte = 0;
      const ssize_t r = ::read(rd, &byte, 1);
      if (r == 1) clean_up_and_end(byte);
      if (r < 0 && errno == EINTR) continue;
      return;  // cannot happen while the write end is open
    }
  }).detach();
  struct sigaction sa {};
  sa.sa_handler = &forward_signal;
  ::sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  // A closed terminal ends the host as SIGTERM does, staged files removed; unless it was started
  // to outlive its terminal (SIGHUP ignored, as nohup leaves it), which it then keeps doing.
  struct sigaction hup {};
  if (::sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN) ::sigaction(SIGHUP, &sa, nullptr);
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

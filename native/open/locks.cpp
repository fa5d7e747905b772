#include "open/locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "open/errors.h"

namespace quorvane::open {

int try_flock(int fd, bool exclusive) noexcept {
  const int op = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  for (;;) {
    if (::flock(fd, op) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

UniqueFd open_lock_file(const std::string& manifest) {
  check_no_nul(manifest);
  int err = 0;
  return open_regular_at(AT_FDCWD, manifest, err);
}

UniqueFd take_shared_lock(const std::string& manifest) {
  UniqueFd fd = open_lock_file(manifest);
  if (!fd.valid() || try_flock(fd.get(), false) != 0) return {};  // closes the descriptor
  return fd;
}

bool is_file_at(int fd, const std::string& path) noexcept {
  if (has_nul(path)) return false;
  struct stat held {}, now {};
  if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &now) != 0) return false;
  return held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

bool exclusive_refused(const std::string& manifest) {
  UniqueFd fd = open_lock_file(manifest);
  if (!fd.valid()) return false;
  // Closing the descriptor drops the probe's lock; no separate unlock is needed.
  return try_flock(fd.get(), true) != 0;
}

}  // namespace quorvane::open

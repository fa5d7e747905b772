#include "pytext/files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace quorvane::pytext {

void check_no_nul(std::string_view path) {
  if (posixfs::has_nul(path)) throw ValueError("embedded null byte");
}

std::string abs_path(std::string_view p) {
  std::string out;
  int err = 0;
  if (!posixfs::abs_path(p, out, err)) throw OSError(err);
  return out;
}

void make_dirs(const std::string& path) {
  check_no_nul(path);
  std::string failed;
  if (int err = posixfs::make_dirs(path, failed)) throw OSError(err, failed);
}

posixfs::UniqueFd open_for_read(const std::string& path, const std::function<void()>& on_interrupt) {
  check_no_nul(path);
  int fd;
  // The hook runs after the retry decision, so whatever errno it leaves cannot end the loop.
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    if (on_interrupt) on_interrupt();
  }
  if (fd < 0) throw OSError(errno, path);
  posixfs::UniqueFd owned(fd);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) throw OSError(EISDIR, path);
  return owned;
}

}  // namespace quorvane::pytext

#include "posixfs/fdops.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

namespace quorvane::posixfs {

int list_names_at(int dir_fd, std::vector<DirName>& out) {
  int dup_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return errno;
  DIR* d = ::fdopendir(dup_fd);
  if (d == nullptr) {
    int err = errno;
    ::close(dup_fd);
    return err;
  }
  // The duplicate shares its offset with `dir_fd`: start from the top whatever was read before.
  ::rewinddir(d);
  int err = 0;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) {
      err = errno;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    out.push_back({e->d_name, e->d_type});
  }
  ::closedir(d);
  return err;
}

namespace {

void remove_below(int dir_fd) noexcept {
  // Names are gathered before anything is removed, so removal never races the listing.
  std::vector<DirName> names;
  try {
    list_names_at(dir_fd, names);
  } catch (...) {
    return;  // no memory for the listing: what is left stays
  }
  for (const DirName& n : names) remove_tree_at(dir_fd, n.name);
}

}  // namespace

void remove_tree_at(int dir_fd, const std::string& name) noexcept {
  if (has_nul(name)) return;
  int child = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (child < 0) {
    // Not a directory (a link to one included), or not there: removed as what it is.
    if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno == EISDIR) ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
    return;
  }
  remove_below(child);
  ::close(child);
  ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
}

UniqueFd open_regular_at(int dir_fd, const std::string& name, int& err, bool follow, struct stat* st) noexcept {
  err = 0;
  if (has_nul(name)) {
    err = EINVAL;
    return {};
  }
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int raw;
  do {
    raw = ::openat(dir_fd, name.c_str(), flags);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    // Linux says ELOOP for a final link under O_NOFOLLOW; some systems say EMLINK or EFTYPE.
    err = (!follow && (errno == ELOOP || errno == EMLINK)) ? kNotRegular : errno;
    return {};
  }
  UniqueFd fd(raw);
  struct stat own {};
  struct stat* s = st != nullptr ? st : &own;
  if (::fstat(raw, s) != 0) {
    err = errno;
    return {};
  }
  if (!S_ISREG(s->st_mode)) {
    err = kNotRegular;
    return {};
  }
  return fd;
}

int read_to_end(int fd, std::string& out) noexcept {
  char buf[1 << 16];  // model files run to megabytes
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) return 0;
    try {
      out.append(buf, static_cast<size_t>(r));
    } catch (...) {
      return ENOMEM;
    }
  }
}

int write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    ssize_t w = ::write(fd, data.data(), data.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<size_t>(w));
  }
  return 0;
}

std::string random_hex(std::size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(n);
  unsigned int bits = 0;
  int left = 0;
  std::random_device dev;
  for (std::size_t i = 0; i < n; ++i) {
    if (left == 0) {
      bits = dev();
      left = 8;
    }
    out.push_back(kHex[bits & 0xF]);
    bits >>= 4;
    --left;
  }
  return out;
}

UniqueFd make_private_dir_at(int dir_fd, const std::string& name, int& err) noexcept {
  err = 0;
  if (has_nul(name)) {
    err = EINVAL;
    return {};
  }
  if (::mkdirat(dir_fd, name.c_str(), 0700) != 0) {
    err = errno;
    return {};
  }
  int raw = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (raw < 0) {
    err = errno;
    return {};
  }
  UniqueFd fd(raw);
  // The umask may have taken bits of 0700 away; the mode is set through the descriptor, so
  // nothing put in the new directory's place meanwhile is changed instead.
  if (::fchmod(raw, 0700) != 0) {
    err = errno;
    return {};
  }
  return fd;
}

}  // namespace quorvane::posixfs

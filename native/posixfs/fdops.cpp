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

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

/// Removes `name` of `dir_fd` unless it is a directory; false for a directory, which is left for
/// the caller to enter.
bool unlink_unless_dir(int dir_fd, const char* name) noexcept {
  if (::unlinkat(dir_fd, name, 0) == 0) return true;
  return errno != EISDIR && errno != EPERM;  // Linux says EISDIR for a directory, POSIX allows EPERM
}

/// A directory being emptied: what is left of its listing, and which directory it is, so that
/// the way back up to it through ".." can be proved to lead to it still.
struct Level {
  std::vector<DirName> names;
  std::size_t next = 0;
  dev_t dev = 0;
  ino_t ino = 0;
};

}  // namespace

void remove_tree_at(int dir_fd, const std::string& name) noexcept {
  if (has_nul(name)) return;
  int top = ::openat(dir_fd, name.c_str(), kDirFlags);
  if (top < 0) {
    // Not a directory (a link to one included), or not there: removed as what it is.
    if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno == EISDIR) ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
    return;
  }
  // Only the directory being emptied is held open, whatever the depth: the levels above it are
  // kept as listings and identities, and each is reached again through "..", which is taken only
  // when it proves to be the very directory that was left. A tree moved meanwhile is abandoned
  // where it stands, so nothing outside `name` is ever touched.
  UniqueFd cur(top);
  std::vector<Level> levels;
  try {
    bool entered = true;  // `cur` is a directory not listed yet
    for (;;) {
      if (entered) {
        entered = false;
        struct stat st {};
        if (::fstat(cur.get(), &st) != 0) return;
        levels.emplace_back();
        levels.back().dev = st.st_dev;
        levels.back().ino = st.st_ino;
        list_names_at(cur.get(), levels.back().names);
      }
      Level& here = levels.back();
      while (!entered && here.next < here.names.size()) {
        const char* n = here.names[here.next++].name.c_str();
        if (unlink_unless_dir(cur.get(), n)) continue;
        int child = ::openat(cur.get(), n, kDirFlags);
        if (child >= 0) {
          cur = UniqueFd(child);
          entered = true;
        } else if (errno == ENOTDIR || errno == ELOOP) {
          ::unlinkat(cur.get(), n, 0);  // replaced by something that is no directory since
        }
      }
      if (entered) continue;
      // This level is as empty as it will get: up one, where its directory goes.
      if (levels.size() == 1) break;
      int up = ::openat(cur.get(), "..", kDirFlags);
      if (up < 0) return;
      UniqueFd parent(up);
      levels.pop_back();
      const Level& above = levels.back();
      struct stat pst {};
      if (::fstat(parent.get(), &pst) != 0 || pst.st_dev != above.dev || pst.st_ino != above.ino) return;
      cur = std::move(parent);
      ::unlinkat(cur.get(), above.names[above.next - 1].name.c_str(), AT_REMOVEDIR);
    }
  } catch (...) {
    return;  // no memory for a listing: what is left stays
  }
  cur.close();
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

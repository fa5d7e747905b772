#include "open/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "open/errors.h"

namespace quorvane::open {

void rename_path(const std::string& src, const std::string& dst) {
  check_no_nul(src);
  check_no_nul(dst);
  if (::rename(src.c_str(), dst.c_str()) != 0) throw OSError(errno, src, dst);
}

void touch_now(const std::string& path) {
  check_no_nul(path);
  if (::utimensat(AT_FDCWD, path.c_str(), nullptr, 0) != 0) throw OSError(errno, path);
}

UniqueFd open_read_only(const std::string& path) {
  check_no_nul(path);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw OSError(errno, path);
  return UniqueFd(fd);
}

namespace {

/// The names below the open directory `dir_fd` ("." and ".." left out); empty when it cannot be
/// listed. Names are gathered before anything is removed, so removal never races the listing.
std::vector<std::pair<std::string, unsigned char>> names_below(int dir_fd) {
  std::vector<std::pair<std::string, unsigned char>> out;
  int dup_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return out;
  DIR* d = ::fdopendir(dup_fd);
  if (d == nullptr) {
    ::close(dup_fd);
    return out;
  }
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    out.emplace_back(e->d_name, e->d_type);
  }
  ::closedir(d);
  return out;
}

void remove_below(int dir_fd) noexcept {
  for (auto& [name, type] : names_below(dir_fd)) {
    bool dir = type == DT_DIR;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      dir = ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (dir) {
      int child = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        remove_below(child);
        ::close(child);
        ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
        continue;
      }
      // Replaced by a link or a file since the listing: removed as what it is now.
    }
    if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno == EISDIR) {
      ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
    }
  }
}

}  // namespace

void remove_tree(const std::string& path) noexcept {
  if (has_nul(path)) return;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  remove_below(fd);
  ::close(fd);
  ::rmdir(path.c_str());
}

std::vector<DirItem> list_dir(const std::string& path) {
  check_no_nul(path);
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) throw OSError(errno, path);
  std::vector<DirItem> out;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) break;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirItem::Kind kind = e->d_type == DT_DIR       ? DirItem::Kind::kDirectory
                         : e->d_type == DT_UNKNOWN ? DirItem::Kind::kUnknown
                                                   : DirItem::Kind::kOther;
    out.push_back({e->d_name, kind});
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) throw OSError(err, path);
  return out;
}

LinkStat lstat_path(const std::string& path) {
  check_no_nul(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throw OSError(errno, path);
  // The same sum, in the same order, as Python forms st_mtime.
  double mtime = static_cast<double>(st.st_mtim.tv_sec) +
                 static_cast<double>(static_cast<unsigned long>(st.st_mtim.tv_nsec)) * 1e-9;
  return {st.st_mode, mtime};
}

}  // namespace quorvane::open

// POSIX file-system helpers with the semantics of Python's os.path, shared by the model host's and
// the local avatar API's cores: an owned descriptor, path tests that answer false instead of
// failing, and lexical joining, splitting and absolute paths. Paths are raw file-system bytes.
// Nothing here needs the Python interpreter lock, and nothing throws: each core raises its own
// errors from what these report.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quorvane::posixfs {

/// An owned file descriptor, closed on destruction (errors of that close are ignored; callers that
/// must see a close error call close() themselves). `release` hands it over without closing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  ~UniqueFd();
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  /// Closes now; returns 0 or the errno of a failed close. The descriptor is gone either way.
  int close();

 private:
  int fd_ = -1;
};

/// True when `path` holds a NUL byte, which no system call can be given.
inline bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

/// os.path.isdir / isfile / exists / islink: answers false on any failure (a NUL included).
/// The first three follow symbolic links; `is_symlink` does not.
bool is_dir(const std::string& path);
bool is_regular_file(const std::string& path);
bool path_exists(const std::string& path);
bool is_symlink(const std::string& path);

/// os.path.join(a, b): `b` when it is absolute, else `a` and `b` with one "/" between them unless
/// `a` is empty or already ends with "/".
std::string join_path(std::string_view a, std::string_view b);

/// os.path.basename: the part after the last "/" (all of `p` when it holds none).
std::string base_name(std::string_view p);

/// os.path.split: (head, tail), trailing slashes taken off a head that is not all slashes.
std::pair<std::string, std::string> split_path(std::string_view p);

/// os.path.abspath: `p` joined to the working directory when relative, then normalised lexically
/// ("." and empty parts dropped, ".." eats the part before it, exactly two leading slashes kept);
/// symbolic links are not resolved. When the working directory cannot be read, returns false with
/// its errno in `err`.
bool abs_path(std::string_view p, std::string& out, int& err);

/// os.makedirs(path, exist_ok=True): missing parents first; a parent that turns out to exist (made
/// by another process at the same moment, say), or `path` itself already being a directory, is no
/// error. Returns 0, or the errno of the mkdir that failed with that directory's path in `failed`.
/// `path` must hold no NUL.
int make_dirs(const std::string& path, std::string& failed);

/// make_dirs where every directory made is made as make_private_dir_at (fdops.h) makes it: mode
/// 0700 exactly, whatever the umask. Those already there are left as they are.
int make_private_dirs(const std::string& path, std::string& failed);

}  // namespace quorvane::posixfs

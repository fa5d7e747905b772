// File-system helpers with the semantics of Python's os.path and open(): path tests that answer
// false instead of failing, path joining as os.path.join does, whole-file reads that fail with
// OSError(errno, filename), and the text and kind name Python gives such an error.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "tensorhost/errors.h"

namespace quorvane::m2 {

/// An owned file descriptor, closed on destruction (errors of that close are ignored; callers that
/// must see a close error call close() themselves).
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
  /// Closes now; returns 0 or the errno of a failed close. The descriptor is gone either way.
  int close();

 private:
  int fd_ = -1;
};

/// True when `path` contains a NUL byte, which no system call can be given.
inline bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

/// Throws ValueError("embedded null byte") for a path holding NUL, as open() does in Python.
void check_no_nul(std::string_view path);

/// os.path.isdir / isfile / exists: stat with links followed; any failure (including a NUL in the
/// path) answers false.
bool is_dir(const std::string& path);
bool is_regular_file(const std::string& path);
bool path_exists(const std::string& path);

/// os.path.join(a, b) for POSIX paths: `b` when it is absolute, else `a` and `b` with one "/"
/// between them unless `a` is empty or already ends with "/".
std::string join_path(std::string_view a, std::string_view b);

/// os.path.basename: the part after the last "/" (all of `p` when it holds none).
std::string base_name(std::string_view p);

/// os.path.split: (head, tail), with trailing slashes taken off a head that is not all slashes.
std::pair<std::string, std::string> split_path(std::string_view p);

/// os.path.abspath: `p` made absolute against the working directory and normalised. Throws OSError
/// when the working directory cannot be read.
std::string abs_path(std::string_view p);

/// The user's home directory as os.path.expanduser("~") finds it: $HOME, else the password entry.
std::string home_dir();

/// Opens `path` read-only for a whole-file read. Throws ValueError for a NUL in the path,
/// OSError(errno, path) when it cannot be opened, and OSError(EISDIR, path) for a directory (as
/// Python's open() refuses one).
UniqueFd open_for_read(const std::string& path);

/// The whole content of the file at `path`, read until end of file. Throws as open_for_read, and
/// OSError(errno) without a file name on a read error, as a Python read() does.
std::string read_file_bytes(const std::string& path);

/// str() of the Python OSError that `e` becomes: "[Errno 2] No such file or directory: '/x'", or
/// without the ": '/x'" part when no file name is known.
std::string os_error_text(const OSError& e);

/// The Python class name for an OSError with this errno ("FileNotFoundError", "PermissionError",
/// ..., "OSError" for the rest).
const char* os_error_kind(int errno_value);

}  // namespace quorvane::m2

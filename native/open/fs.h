// File-system helpers of the avatar cache with the semantics of the Python calls the cache is
// described in: path tests that answer false instead of failing (os.path.isdir ...), joining and
// absolute paths formed lexically (os.path.join, os.path.abspath), os.makedirs(exist_ok=True),
// os.rename, os.utime, and a recursive removal that ignores every error. Paths are raw file-system
// bytes. Every function here may be called without the Python interpreter lock.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "posixfs/paths.h"
#include "pytext/files.h"

namespace quorvane::open {

// Shared with the model host's core (posixfs/paths.h).
using posixfs::UniqueFd;
using posixfs::has_nul;
using posixfs::is_dir;
using posixfs::is_regular_file;
using posixfs::path_exists;
using posixfs::is_symlink;
using posixfs::join_path;
using posixfs::split_path;

// Python's file calls, shared likewise (pytext/files.h): check_no_nul; abs_path, which throws
// OSError(errno) when the working directory is gone; make_dirs, os.makedirs(path, exist_ok=True)
// (mode 0777 less the umask), which throws ValueError for a NUL and OSError(errno, path) else;
// open_for_read, which refuses a directory as open() does.
using pytext::check_no_nul;
using pytext::abs_path;
using pytext::make_dirs;
using pytext::open_for_read;

/// os.rename(src, dst). Throws ValueError for a NUL, OSError(errno, src, dst) on failure.
void rename_path(const std::string& src, const std::string& dst);

/// os.utime(path): access and modification times set to now, links followed. Throws ValueError
/// for a NUL, OSError(errno, path) on failure.
void touch_now(const std::string& path);

/// os.open(path, O_RDONLY) (close-on-exec, retried on EINTR). Throws ValueError for a NUL,
/// OSError(errno, path) on failure. A directory opens too.
UniqueFd open_read_only(const std::string& path);

/// Removes `path` and everything below it without following symbolic links, going on past every
/// failure and reporting none (shutil.rmtree(path, ignore_errors=True)). A path that is not a
/// directory (a symbolic link included) is unlinked itself, never what it points to.
void remove_tree(const std::string& path) noexcept;

/// One name of a directory listing and what the listing says of its kind.
struct DirItem {
  enum class Kind { kDirectory, kOther, kUnknown };
  std::string name;
  Kind kind;
};

/// os.listdir(path) with each name's kind as the listing reports it (links not followed; kUnknown
/// where the file system does not say). "." and ".." are left out. Throws OSError(errno, path).
std::vector<DirItem> list_dir(const std::string& path);

/// What the cache needs of a status record taken without following links.
struct LinkStat {
  mode_t mode;
  /// Modification time in seconds, formed as Python's st_mtime is: sec + nsec * 1e-9.
  double mtime_s;
};

/// os.lstat(path). Throws ValueError for a NUL, OSError(errno, path) on failure.
LinkStat lstat_path(const std::string& path);

}  // namespace quorvane::open

// File-system helpers of the avatar cache with the semantics of the Python calls the cache is
// described in: path tests that answer false instead of failing (os.path.isdir ...), joining and
// absolute paths formed lexically (os.path.join, os.path.abspath), os.makedirs(exist_ok=True),
// os.rename, os.utime, os.stat, and a recursive removal that ignores every error. What the cache
// opens inside itself is opened without following links and without blocking (posixfs/fdops.h).
// Paths are raw file-system bytes. Every function here may be called without the Python
// interpreter lock.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "posixfs/fdops.h"
#include "posixfs/paths.h"
#include "pytext/files.h"

namespace quorvane::open {

// Shared with the model host's core (posixfs/paths.h, posixfs/fdops.h).
using posixfs::UniqueFd;
using posixfs::has_nul;
using posixfs::is_dir;
using posixfs::is_regular_file;
using posixfs::path_exists;
using posixfs::is_symlink;
using posixfs::join_path;
using posixfs::split_path;
using posixfs::kNotRegular;
using posixfs::open_regular_at;

// Python's file calls, shared likewise (pytext/files.h): check_no_nul; abs_path, which throws
// OSError(errno) when the working directory is gone; open_for_read, which refuses a directory as
// open() does.
using pytext::check_no_nul;
using pytext::abs_path;
using pytext::open_for_read;

/// os.rename(src, dst). Throws ValueError for a NUL, OSError(errno, src, dst) on failure.
void rename_path(const std::string& src, const std::string& dst);

/// os.utime(path): access and modification times set to now, links followed. Throws ValueError
/// for a NUL, OSError(errno, path) on failure.
void touch_now(const std::string& path);

/// os.stat(path), links followed. Throws ValueError for a NUL, OSError(errno, path) on failure.
struct stat stat_path(const std::string& path);

/// os.makedirs(path, exist_ok=True) where each directory made has mode 0700 exactly, whatever the
/// umask. Throws ValueError for a NUL, else OSError(errno, the directory that could not be made).
void make_private_dirs(const std::string& path);

/// Removes `path` and everything below it without following symbolic links, going on past every
/// failure and reporting none (shutil.rmtree(path, ignore_errors=True)). A path that is not a
/// directory (a symbolic link included) is unlinked itself, never what it points to.
void remove_tree(const std::string& path) noexcept;

/// The modification time of a status record in seconds, formed as Python's st_mtime is:
/// sec + nsec * 1e-9.
double mtime_seconds(const struct stat& st);

/// Reads the small regular file `fd`, whose status `st` is, whole: the st_size bytes its status
/// gives, in one read as a rule (interrupted and short reads are retried; an end sooner ends it).
/// 0 or the errno of the read that failed.
int read_sized(int fd, const struct stat& st, std::string& out) noexcept;

/// The record of its key that the cache writes into an entry when it publishes it: the entry's
/// name, no line end. An entry is trusted only while it names the entry it lies in, so an
/// entry moved to another's name is known for what it is.
inline constexpr std::string_view kKeyRecord = ".quorvane-key";

/// Whether a status record is of something this user (or the superuser) owns that no group and
/// no other user can write.
bool closed_to_others(const struct stat& st);

/// Writes the key record `key` into the unpack directory `dir` (any file of that name the
/// unpacker left is replaced, never written through), and takes write permission for group
/// and others off its `manifest.json`, so that the entry meets look_at_entry. Throws
/// OSError(errno, path) on failure, ValueError for a NUL.
void seal_entry(const std::string& dir, std::string_view key);

/// What the cache finds at an entry directory.
struct EntryLook {
  enum class Kind {
    /// The entry is a directory (not a link) whose manifest.json is a regular file (not a link),
    /// read whole into `manifest`, and whose key record names `key`; it, the manifest and the
    /// record are this user's (or the superuser's) and closed to others.
    kManifest,
    /// Provably not complete or not to be trusted: nothing there, something that is no
    /// directory, a manifest that is missing or no regular file (a link, a FIFO, a directory
    /// ...), a key record that is missing or names another key, or any of the three open to
    /// others or owned by someone else (inside a directory of this user's).
    kIncomplete,
    /// The entry or its manifest cannot be looked at (permission, input/output ...): `err`.
    kUnreadable,
    /// A directory that another user owns (`owner`, its permission bits `mode`): left by someone
    /// who could once write in the cache, so nothing in it is this user's to use or to heal.
    kForeign,
  };
  Kind kind;
  int err = 0;
  std::string manifest;
  uid_t owner = 0;
  mode_t mode = 0;
};

/// Looks at the entry `dest`, published under `key`: its directory, manifest and key record are
/// opened without following links and without blocking, so a link or a FIFO planted there is
/// only ever found broken; a directory of another user's is found foreign before anything in it
/// is read.
EntryLook look_at_entry(const std::string& dest, std::string_view key);

}  // namespace quorvane::open

// The cache root and its avatars directory: made for this user alone when missing, and trusted
// only while they are this user's own and closed to everyone else, since whoever can write there
// can make this user's processes render, overwrite or delete what they choose. Nothing here
// needs the Python interpreter lock.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace quorvane::open {

/// Whether a status record is that of a directory owned by this process's effective user and
/// writable by no group and no other user.
bool private_dir(const struct stat& st);

/// Why a cache directory cannot be trusted.
struct CacheDirFault {
  enum class Kind { kNone, kForeignOwner, kWritableByOthers };
  Kind kind = Kind::kNone;
  std::string path;  // the directory at fault (raw bytes)
  uid_t owner = 0;
  mode_t mode = 0;   // its permission bits
};

/// Makes the cache root (with any missing parents) and `avatars` inside it when missing, each
/// with mode 0700, then judges the root (its link followed: a root may be a link, of this user
/// or the superuser, to a directory of this user) and `avatars`, in that order; the first that
/// is not private_dir is the fault.
/// Nothing in either is read or changed. Throws OSError(errno, path) when one cannot be made or
/// looked at (ENOTDIR when something else stands in its place), ValueError for a NUL.
CacheDirFault prepare_cache_dirs(const std::string& root, const std::string& avatars);

}  // namespace quorvane::open

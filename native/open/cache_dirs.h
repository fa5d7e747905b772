// The cache root and its avatars directory: made for this user alone when missing, and trusted
// only while they are this user's own and closed to everyone else, since whoever can write there
// can make this user's processes render, overwrite or delete what they choose. The root is
// judged along its whole path, as the system resolves it: every link on the way must be this
// user's or the superuser's, since another user may point their link anywhere at any moment.
// Nothing here needs the Python interpreter lock.
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
  enum class Kind { kNone, kForeignOwner, kWritableByOthers, kForeignLink };
  Kind kind = Kind::kNone;
  std::string path;  // the directory at fault, or the link (raw bytes)
  uid_t owner = 0;
  mode_t mode = 0;   // its permission bits
};

/// Makes the cache root (with any missing parents) and `avatars` inside it when missing, each
/// with mode 0700, then judges the root and `avatars`, in that order; the first that is not
/// private_dir is the fault. The root is resolved component by component as the system would
/// ("." and ".." parts, links and chains of links followed): a link on the way that is neither
/// this user's nor the superuser's is the fault (kForeignLink, `path` the link as reached), and
/// the target of a link is never made, only used. Nothing in either directory is read or
/// changed. Throws OSError(errno, path) when a part cannot be made or looked at (ENOTDIR when
/// something else stands in its place, ELOOP past 40 links), ValueError for a NUL.
CacheDirFault prepare_cache_dirs(const std::string& root, const std::string& avatars);

}  // namespace quorvane::open

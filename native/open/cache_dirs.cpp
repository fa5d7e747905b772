#include "open/cache_dirs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "open/errors.h"
#include "open/fs.h"

namespace quorvane::open {

bool private_dir(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

namespace {

/// The status of the directory `path`, made first when nothing is there.
struct stat existing_dir(const std::string& path, bool with_parents) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) throw OSError(errno, path);
    if (with_parents) {
      make_private_dirs(path);
    } else {
      int err = 0;
      UniqueFd made = posixfs::make_private_dir_at(AT_FDCWD, path, err);
      // Made by another process at the same moment: judged like any directory found there.
      if (!made.valid() && err != EEXIST) throw OSError(err, path);
    }
    if (::stat(path.c_str(), &st) != 0) throw OSError(errno, path);
  }
  if (!S_ISDIR(st.st_mode)) throw OSError(ENOTDIR, path);
  return st;
}

CacheDirFault judge(const std::string& path, const struct stat& st) {
  if (private_dir(st)) return {};
  const auto kind = st.st_uid != ::geteuid() ? CacheDirFault::Kind::kForeignOwner : CacheDirFault::Kind::kWritableByOthers;
  return {kind, path, st.st_uid, static_cast<mode_t>(st.st_mode & 07777)};
}

}  // namespace

CacheDirFault prepare_cache_dirs(const std::string& root, const std::string& avatars) {
  check_no_nul(root);
  check_no_nul(avatars);
  // A root that is a link is only as much this user's as the link itself: one that another user
  // owns may be pointed elsewhere at any moment (the superuser's are as trusted as the system).
  // (Looked at without its trailing slashes, through which lstat would follow the link.)
  std::string bare = root;
  while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
  struct stat link {};
  if (::lstat(bare.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != ::geteuid() && link.st_uid != 0) {
    return {CacheDirFault::Kind::kForeignOwner, root, link.st_uid, static_cast<mode_t>(link.st_mode & 07777)};
  }
  CacheDirFault fault = judge(root, existing_dir(root, true));
  if (fault.kind != CacheDirFault::Kind::kNone) return fault;
  return judge(avatars, existing_dir(avatars, false));
}

}  // namespace quorvane::open

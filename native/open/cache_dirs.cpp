#include "open/cache_dirs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "open/errors.h"
#include "open/fs.h"

namespace quorvane::open {

bool private_dir(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

namespace {

/// As many links as the system follows in one path.
constexpr int kMaxLinks = 40;

CacheDirFault judge(const std::string& path, const struct stat& st) {
  if (private_dir(st)) return {};
  const auto kind = st.st_uid != ::geteuid() ? CacheDirFault::Kind::kForeignOwner : CacheDirFault::Kind::kWritableByOthers;
  return {kind, path, st.st_uid, static_cast<mode_t>(st.st_mode & 07777)};
}

std::vector<std::string_view> parts_of(std::string_view path) {
  std::vector<std::string_view> out;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") out.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

/// Walks a path as the system resolves it, with no link left in what it has reached.
class Walk {
 public:
  /// Resolves `path` from the directory `at` (absolute, holding no link; "/" for an absolute
  /// `path`), leaving in `at` the directory reached. Missing parts are made when `make` is set.
  /// False with `fault` set at a link of another user's.
  bool go(std::string& at, std::string_view path, bool make) {
    if (!path.empty() && path.front() == '/') {
      at = "/";
      known_ = false;
    }
    for (std::string_view part : parts_of(path)) {
      known_ = false;
      if (part == "..") {
        // `at` holds no link, so its lexical parent is the one the system goes to.
        const std::size_t slash = at.rfind('/');
        at.resize(slash == 0 ? 1 : slash);
        continue;
      }
      std::string next = at == "/" ? "/" + std::string(part) : at + "/" + std::string(part);
      struct stat st {};
      if (::lstat(next.c_str(), &st) != 0) {
        if (errno != ENOENT || !make) throw OSError(errno, next);
        int err = 0;
        UniqueFd made = posixfs::make_private_dir_at(AT_FDCWD, next, err);
        // Made by another process at the same moment: judged like anything found there.
        if (!made.valid() && err != EEXIST) throw OSError(err, next);
        if (::lstat(next.c_str(), &st) != 0) throw OSError(errno, next);
      }
      if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
          fault = {CacheDirFault::Kind::kForeignLink, next, st.st_uid, static_cast<mode_t>(st.st_mode & 07777)};
          return false;
        }
        if (++links_ > kMaxLinks) throw OSError(ELOOP, next);
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
          const ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
          if (n < 0) throw OSError(errno, next);
          if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            break;
          }
          target.resize(target.size() * 2);
        }
        // What a link leads to is the link owner's choice: it is used, never made.
        if (!go(at, target, false)) return false;
        continue;
      }
      if (!S_ISDIR(st.st_mode)) throw OSError(ENOTDIR, next);
      at = std::move(next);
      reached_ = st;
      known_ = true;
    }
    return true;
  }

  /// The status of the directory the walk reached (`at`), as its last step found it.
  struct stat status(const std::string& at, const std::string& shown) {
    if (!known_) {
      if (::stat(at.c_str(), &reached_) != 0) throw OSError(errno, shown);
      if (!S_ISDIR(reached_.st_mode)) throw OSError(ENOTDIR, shown);
      known_ = true;
    }
    return reached_;
  }

  CacheDirFault fault;

 private:
  int links_ = 0;
  struct stat reached_ {};
  bool known_ = false;
};

}  // namespace

CacheDirFault prepare_cache_dirs(const std::string& root, const std::string& avatars) {
  check_no_nul(root);
  check_no_nul(avatars);
  std::string at = "/";
  if (root.empty() || root.front() != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) throw OSError(errno, root);
    at = cwd;
    ::free(cwd);
  }
  Walk walk;
  if (!walk.go(at, root, true)) return walk.fault;
  CacheDirFault fault = judge(root, walk.status(at, root));
  if (fault.kind != CacheDirFault::Kind::kNone) return fault;
  // The avatars directory as the system finds it inside the root reached (it is "avatars" there).
  if (!walk.go(at, "avatars", true)) return walk.fault;
  return judge(avatars, walk.status(at, avatars));
}

}  // namespace quorvane::open

#include "open/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

struct stat stat_path(const std::string& path) {
  check_no_nul(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw OSError(errno, path);
  return st;
}

void make_private_dirs(const std::string& path) {
  check_no_nul(path);
  std::string failed;
  if (int err = posixfs::make_private_dirs(path, failed)) throw OSError(err, failed);
}

void remove_tree(const std::string& path) noexcept { posixfs::remove_tree_at(AT_FDCWD, path); }

double mtime_seconds(const struct stat& st) {
  // The same sum, in the same order, as Python forms st_mtime.
  return static_cast<double>(st.st_mtim.tv_sec) +
         static_cast<double>(static_cast<unsigned long>(st.st_mtim.tv_nsec)) * 1e-9;
}

namespace {

/// Whether a failed open proves that nothing complete is there, rather than that it could not be
/// looked at.
bool proves_absence(int err) { return err == kNotRegular || err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENXIO; }

}  // namespace

int read_sized(int fd, const struct stat& st, std::string& out) noexcept {
  // What the cache reads of its own (memos, key records) is a few bytes: the read that would
  // only find the end is spared.
  const std::size_t want = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  try {
    out.resize(want);
  } catch (...) {
    return ENOMEM;
  }
  std::size_t got = 0;
  while (got < want) {
    const ssize_t r = ::read(fd, out.data() + got, want - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return 0;
}

bool closed_to_others(const struct stat& st) {
  return (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void seal_entry(const std::string& dir, std::string_view key) {
  check_no_nul(dir);
  int raw = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (raw < 0) throw OSError(errno, dir);
  UniqueFd d(raw);
  const std::string record(kKeyRecord);
  if (::unlinkat(d.get(), record.c_str(), 0) != 0 && errno != ENOENT) throw OSError(errno, join_path(dir, record));
  do {
    raw = ::openat(d.get(), record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) throw OSError(errno, join_path(dir, record));
  UniqueFd out(raw);
  if (int err = posixfs::write_all(out.get(), key)) throw OSError(err, join_path(dir, record));
  if (out.close() != 0) throw OSError(errno, join_path(dir, record));
  // An unpacker run under a loose umask leaves its manifest writable by the group: the lock
  // file and the mark of completeness are this user's alone.
  int err = 0;
  struct stat st {};
  UniqueFd manifest = open_regular_at(d.get(), "manifest.json", err, false, &st);
  if (!manifest.valid()) throw OSError(err == kNotRegular ? EINVAL : err, join_path(dir, "manifest.json"));
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && ::fchmod(manifest.get(), st.st_mode & 0755) != 0) {
    throw OSError(errno, join_path(dir, "manifest.json"));
  }
}

EntryLook look_at_entry(const std::string& dest, std::string_view key) {
  if (has_nul(dest)) return {EntryLook::Kind::kUnreadable, EINVAL, {}};
  int raw;
  do {
    raw = ::open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    const int err = errno;
    return {proves_absence(err) ? EntryLook::Kind::kIncomplete : EntryLook::Kind::kUnreadable, err, {}};
  }
  UniqueFd dir(raw);
  struct stat dst {};
  if (::fstat(dir.get(), &dst) != 0) return {EntryLook::Kind::kUnreadable, errno, {}};
  // The superuser's entries are as trusted as the system (one made by a root-run open() that kept
  // this user's HOME, say); anyone else's may hold or become anything.
  if (dst.st_uid != ::geteuid() && dst.st_uid != 0) {
    return {EntryLook::Kind::kForeign, 0, {}, dst.st_uid, static_cast<mode_t>(dst.st_mode & 07777)};
  }
  // What others could write, or another user made inside, may have been put there by them: it
  // is never used, but set aside like any broken entry.
  if (!closed_to_others(dst)) return {EntryLook::Kind::kIncomplete, 0, {}};
  int err = 0;
  struct stat mst {};
  UniqueFd fd = open_regular_at(dir.get(), "manifest.json", err, false, &mst);
  if (!fd.valid()) return {proves_absence(err) ? EntryLook::Kind::kIncomplete : EntryLook::Kind::kUnreadable, err, {}};
  if (!closed_to_others(mst)) return {EntryLook::Kind::kIncomplete, 0, {}};
  struct stat rst {};
  UniqueFd rec = open_regular_at(dir.get(), std::string(kKeyRecord), err, false, &rst);
  if (!rec.valid()) return {proves_absence(err) ? EntryLook::Kind::kIncomplete : EntryLook::Kind::kUnreadable, err, {}};
  std::string named;
  if (!closed_to_others(rst) || rst.st_size != static_cast<off_t>(key.size())) return {EntryLook::Kind::kIncomplete, 0, {}};
  if (int r = read_sized(rec.get(), rst, named)) return {EntryLook::Kind::kUnreadable, r, {}};
  // An entry moved here from another key's name holds another content.
  if (named != key) return {EntryLook::Kind::kIncomplete, 0, {}};
  EntryLook out{EntryLook::Kind::kManifest, 0, {}};
  if (int r = posixfs::read_to_end(fd.get(), out.manifest)) return {EntryLook::Kind::kUnreadable, r, {}};
  return out;
}

}  // namespace quorvane::open

#include "open/sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <numeric>

#include "open/cache_dirs.h"
#include "open/content_key.h"
#include "open/errors.h"
#include "open/fs.h"
#include "pytext/text.h"

namespace quorvane::open {

void order_candidates(std::vector<Candidate>& c) {
  std::vector<std::u32string> text(c.size());
  for (size_t i = 0; i < c.size(); ++i) text[i] = pytext::decode_fs_name(c[i].path);
  std::vector<size_t> order(c.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (c[a].idle_s != c[b].idle_s) return c[a].idle_s > c[b].idle_s;
    if (c[a].size_bytes != c[b].size_bytes) return c[a].size_bytes > c[b].size_bytes;
    return text[a] > text[b];
  });
  std::vector<Candidate> sorted;
  sorted.reserve(c.size());
  for (size_t i : order) sorted.push_back(std::move(c[i]));
  c = std::move(sorted);
}

void sweep(const std::string& avatars, const std::string& keep, SweepHooks& hooks) {
  const double now = hooks.now_s();
  hooks.read_cap();
  check_no_nul(avatars);
  int raw;
  do {
    raw = ::open(avatars.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) throw OSError(errno, avatars);
  const UniqueFd dir(raw);
  struct stat dst {};
  if (::fstat(dir.get(), &dst) != 0) throw OSError(errno, avatars);
  // What others can write in is not the cache this user's processes keep: nothing there is theirs
  // to remove.
  if (!private_dir(dst)) return;
  std::vector<posixfs::DirName> names;
  if (int err = posixfs::list_names_at(dir.get(), names)) throw OSError(err, avatars);
  std::vector<Candidate> entries;
  std::int64_t total = 0;
  for (const posixfs::DirName& item : names) {
    // Dot names (the memo directory) and anything the listing already calls no directory are
    // passed over without a status call, and so is every name that is not the cache's own.
    if (item.name.front() == '.' || (item.type != DT_DIR && item.type != DT_UNKNOWN)) continue;
    std::optional<std::string> pid = hooks.tmp_writer(item.name);
    if (!pid && !is_key_name(item.name)) continue;
    const std::string path = join_path(avatars, item.name);
    struct stat st {};
    if (::fstatat(dir.get(), item.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) throw OSError(errno, path);
    if (!S_ISDIR(st.st_mode)) continue;
    const double idle = now - mtime_seconds(st);
    if (pid) {
      // An unpack directory is never an entry; it goes once its writer is gone or it is
      // abandoned, and never while it changed within the idle floor.
      if (idle > hooks.min_idle_s() && (idle > kTmpAbandonedS || !hooks.pid_alive(*pid))) {
        posixfs::remove_tree_at(dir.get(), item.name);
      }
      continue;
    }
    const std::int64_t size = hooks.du(path);
    if (__builtin_add_overflow(total, size, &total)) throw OverflowError("cache size out of range");
    if (path != keep) entries.push_back({idle, size, path, item.name});
  }
  order_candidates(entries);
  for (const Candidate& c : entries) {
    if (hooks.within_cap(total)) break;
    if (c.idle_s < hooks.min_idle_s()) continue;
    if (hooks.in_use(c.path, c.idle_s)) continue;
    posixfs::remove_tree_at(dir.get(), c.name);
    // Only what is really gone stops counting: a partial removal leaves the total as it was.
    struct stat left {};
    if (::fstatat(dir.get(), c.name.c_str(), &left, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) total -= c.size_bytes;
  }
}

}  // namespace quorvane::open

#include "open/sweep.h"

#include <sys/stat.h>

#include <algorithm>
#include <numeric>

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
  std::vector<Candidate> entries;
  std::int64_t total = 0;
  for (const DirItem& item : list_dir(avatars)) {
    // Dot names (the memo directory) and anything the listing already calls no directory are
    // passed over without a status call.
    if (item.name.front() == '.' || item.kind == DirItem::Kind::kOther) continue;
    const std::string path = join_path(avatars, item.name);
    const LinkStat st = lstat_path(path);
    if (!S_ISDIR(st.mode)) continue;
    const double idle = now - st.mtime_s;
    if (std::optional<std::string> pid = hooks.tmp_writer(item.name)) {
      // An unpack directory is never an entry; it goes once its writer is gone or it is
      // abandoned, and never while it changed within the idle floor.
      if (idle > hooks.min_idle_s() && (idle > kTmpAbandonedS || !hooks.pid_alive(*pid))) {
        remove_tree(path);
      }
      continue;
    }
    const std::int64_t size = hooks.du(path);
    if (__builtin_add_overflow(total, size, &total)) throw OverflowError("cache size out of range");
    if (path != keep) entries.push_back({idle, size, path});
  }
  order_candidates(entries);
  for (const Candidate& c : entries) {
    if (hooks.within_cap(total)) break;
    if (c.idle_s < hooks.min_idle_s()) continue;
    if (hooks.in_use(c.path, c.idle_s)) continue;
    remove_tree(c.path);
    // Only what is really gone stops counting: a partial removal leaves the total as it was.
    if (!path_exists(c.path)) total -= c.size_bytes;
  }
}

}  // namespace quorvane::open

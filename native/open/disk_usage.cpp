#include "open/disk_usage.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "open/fs.h"

namespace quorvane::open {

std::uint64_t du(const std::string& path) {
  check_no_nul(path);
  std::uint64_t total = 0;
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    std::string top = std::move(pending.back());
    pending.pop_back();
    DIR* d = ::opendir(top.c_str());
    if (d == nullptr) continue;
    std::vector<std::string> dirs, files;
    bool broken = false;
    for (;;) {
      errno = 0;
      dirent* e = ::readdir(d);
      if (e == nullptr) {
        broken = errno != 0;
        break;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      std::string child = join_path(top, e->d_name);
      // A name is a directory when it leads to one, links followed (a broken link does not).
      bool dir = e->d_type == DT_DIR;
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) dir = is_dir(child);
      (dir ? dirs : files).push_back(std::move(child));
    }
    ::closedir(d);
    if (broken) continue;
    for (const std::string& f : files) {
      struct stat st {};
      if (::lstat(f.c_str(), &st) == 0 && st.st_size > 0) total += static_cast<std::uint64_t>(st.st_size);
    }
    for (std::string& sub : dirs) {
      if (!is_symlink(sub)) pending.push_back(std::move(sub));
    }
  }
  return total;
}

}  // namespace quorvane::open

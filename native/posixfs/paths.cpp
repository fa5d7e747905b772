#include "posixfs/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>
#include <vector>

#include "posixfs/fdops.h"

namespace quorvane::posixfs {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() { close(); }

int UniqueFd::close() {
  if (fd_ < 0) return 0;
  // POSIX leaves the descriptor state unspecified after EINTR; Linux has always released it, so
  // the close is never retried.
  int rc = ::close(std::exchange(fd_, -1));
  return rc == 0 ? 0 : errno;
}

namespace {

bool mode_of(const std::string& path, bool follow, mode_t& mode) {
  if (has_nul(path)) return false;
  struct stat st {};
  int rc = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) return false;
  mode = st.st_mode;
  return true;
}

}  // namespace

bool is_dir(const std::string& path) {
  mode_t m = 0;
  return mode_of(path, true, m) && S_ISDIR(m);
}

bool is_regular_file(const std::string& path) {
  mode_t m = 0;
  return mode_of(path, true, m) && S_ISREG(m);
}

bool path_exists(const std::string& path) {
  mode_t m = 0;
  return mode_of(path, true, m);
}

bool is_symlink(const std::string& path) {
  mode_t m = 0;
  return mode_of(path, false, m) && S_ISLNK(m);
}

std::string join_path(std::string_view a, std::string_view b) {
  if (!b.empty() && b.front() == '/') return std::string(b);
  std::string out(a);
  if (!out.empty() && out.back() != '/') out += '/';
  out += b;
  return out;
}

std::string base_name(std::string_view p) {
  size_t slash = p.rfind('/');
  return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

std::pair<std::string, std::string> split_path(std::string_view p) {
  size_t i = p.rfind('/');
  i = (i == std::string_view::npos) ? 0 : i + 1;
  std::string head(p.substr(0, i));
  std::string tail(p.substr(i));
  if (!head.empty() && head.find_first_not_of('/') != std::string::npos) {
    while (!head.empty() && head.back() == '/') head.pop_back();
  }
  return {head, tail};
}

bool abs_path(std::string_view p, std::string& out, int& err) {
  std::string full;
  if (!p.empty() && p.front() == '/') {
    full = std::string(p);
  } else {
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
      if (errno != ERANGE) {
        err = errno;
        return false;
      }
      buf.resize(buf.size() * 2);
    }
    full = join_path(buf.data(), p);
  }
  size_t lead = 0;
  while (lead < full.size() && full[lead] == '/') ++lead;
  // POSIX gives a path that starts with exactly two slashes a meaning of its own.
  out = lead == 2 ? "//" : (lead > 0 ? "/" : "");
  const bool rooted = lead > 0;
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  rest.remove_prefix(lead);
  while (!rest.empty()) {
    size_t j = rest.find('/');
    std::string_view part = rest.substr(0, j);
    rest.remove_prefix(j == std::string_view::npos ? rest.size() : j + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!rooted) {
        parts.push_back(part);
      }
      continue;
    }
    parts.push_back(part);
  }
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  if (out.empty()) out = ".";
  return true;
}

namespace {

/// os.makedirs(exist_ok=True) over `make_one`, which makes one directory and returns 0 or errno.
template <class MakeOne>
int make_dirs_by(const std::string& path, std::string& failed, const MakeOne& make_one) {
  auto [head, tail] = split_path(path);
  if (tail.empty()) std::tie(head, tail) = split_path(head);
  if (!head.empty() && !tail.empty() && !path_exists(head)) {
    std::string parent_failed;
    int err = make_dirs_by(head, parent_failed, make_one);
    if (err != 0 && err != EEXIST) {
      failed = std::move(parent_failed);
      return err;
    }
    if (tail == ".") return 0;
  }
  if (int err = make_one(path); err != 0) {
    if (!is_dir(path)) {
      failed = path;
      return err;
    }
  }
  return 0;
}

}  // namespace

int make_dirs(const std::string& path, std::string& failed) {
  return make_dirs_by(path, failed, [](const std::string& p) { return ::mkdir(p.c_str(), 0777) == 0 ? 0 : errno; });
}

int make_private_dirs(const std::string& path, std::string& failed) {
  return make_dirs_by(path, failed, [](const std::string& p) {
    int err = 0;
    UniqueFd made = make_private_dir_at(AT_FDCWD, p, err);
    return made.valid() ? 0 : err;
  });
}

}  // namespace quorvane::posixfs

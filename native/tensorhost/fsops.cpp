#include "tensorhost/fsops.h"


#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tensorhost/pystr.h"

namespace quorvane::m2 {

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

void check_no_nul(std::string_view path) {
  if (has_nul(path)) throw ValueError("embedded null byte");
}

namespace {

bool stat_mode(const std::string& path, mode_t& mode) {
  if (has_nul(path)) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  mode = st.st_mode;
  return true;
}

}  // namespace

bool is_dir(const std::string& path) {
  mode_t m = 0;
  return stat_mode(path, m) && S_ISDIR(m);
}

bool is_regular_file(const std::string& path) {
  mode_t m = 0;
  return stat_mode(path, m) && S_ISREG(m);
}

bool path_exists(const std::string& path) {
  mode_t m = 0;
  return stat_mode(path, m);
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

std::string abs_path(std::string_view p) {
  std::string full;
  if (!p.empty() && p.front() == '/') {
    full = std::string(p);
  } else {
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
      if (errno != ERANGE) throw OSError(errno);
      buf.resize(buf.size() * 2);
    }
    full = join_path(buf.data(), p);
  }
  // posixpath.normpath: drop empty and "." parts, let ".." eat the part before it (never the
  // root), keep exactly two leading slashes when the path has exactly two.
  size_t lead = 0;
  while (lead < full.size() && full[lead] == '/') ++lead;
  std::string prefix = lead == 2 ? "//" : (lead > 0 ? "/" : "");
  std::vector<std::string> parts;
  size_t i = lead;
  while (i <= full.size()) {
    size_t j = full.find('/', i);
    if (j == std::string::npos) j = full.size();
    std::string part = full.substr(i, j - i);
    if (part.empty() || part == ".") {
      // skipped
    } else if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (prefix.empty()) {
        parts.push_back(part);
      }
    } else {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  std::string out = prefix;
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  return out.empty() ? std::string(".") : out;
}

UniqueFd open_for_read(const std::string& path) {
  check_no_nul(path);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw OSError(errno, path);
  UniqueFd owned(fd);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) throw OSError(EISDIR, path);
  return owned;
}

std::string read_file_bytes(const std::string& path) {
  UniqueFd fd = open_for_read(path);
  std::string out;
  struct stat st {};
  // The size is only a hint (the file may change under us): read until end of file either way.
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<size_t>(st.st_size));
  }
  char buf[1 << 16];
  for (;;) {
    ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno);
    }
    if (r == 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::string os_error_text(const OSError& e) {
  std::string out = "[Errno " + std::to_string(e.errno_value) + "] " + std::strerror(e.errno_value);
  if (!e.filename.empty()) out += ": " + repr_str(e.filename);
  return out;
}

const char* os_error_kind(int e) {
  switch (e) {
    case ENOENT: return "FileNotFoundError";
    case EEXIST: return "FileExistsError";
    case EISDIR: return "IsADirectoryError";
    case ENOTDIR: return "NotADirectoryError";
    case EACCES:
    case EPERM: return "PermissionError";
    case EINTR: return "InterruptedError";
    case EAGAIN:
    case EALREADY:
    case EINPROGRESS: return "BlockingIOError";
    case ECHILD: return "ChildProcessError";
    case EPIPE:
    case ESHUTDOWN: return "BrokenPipeError";
    case ECONNABORTED: return "ConnectionAbortedError";
    case ECONNREFUSED: return "ConnectionRefusedError";
    case ECONNRESET: return "ConnectionResetError";
    case ESRCH: return "ProcessLookupError";
    case ETIMEDOUT: return "TimeoutError";
    default: return "OSError";
  }
}

std::string home_dir() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "~";
}

}  // namespace quorvane::m2

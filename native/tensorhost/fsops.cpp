#include "tensorhost/fsops.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "posixfs/fdops.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

std::string read_file_bytes(const std::string& path) {
  UniqueFd fd = open_for_read(path);
  std::string out;
  struct stat st {};
  // The size is only a hint (the file may change under us): read until end of file either way.
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<size_t>(st.st_size));
  }
  if (const int err = posixfs::read_to_end(fd.get(), out)) throw OSError(err);
  return out;
}

std::string os_error_text(const OSError& e) {
  std::string out = "[Errno " + std::to_string(e.errno_value) + "] " + std::strerror(e.errno_value);
  if (e.filename) out += ": " + repr_str(*e.filename);
  if (e.filename && e.filename2) out += " -> " + repr_str(*e.filename2);
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

int stat_errno(const std::string& path) {
  struct stat st {};
  if (has_nul(path)) return EINVAL;
  return ::stat(path.c_str(), &st) == 0 ? 0 : errno;
}

std::string home_dir() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "~";
}

}  // namespace quorvane::m2

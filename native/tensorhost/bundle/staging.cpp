#include "tensorhost/bundle/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <tuple>

#include "tensorhost/bundle/bundle.h"
#include "tensorhost/bundle/staged_list.h"
#include "tensorhost/fsops.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/host/fdio.h"
#include "tensorhost/host/log.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

constexpr const char* STAGE_DIR_ENV = "MIRRANT2_STAGE_DIR";

struct NewFile {
  UniqueFd fd;
  std::string path;
};

// A new file "<dir>/tmpXXXXXX<suffix>", created exclusively with mode 0600.
NewFile create_unique(const std::string& dir, const std::string& suffix) {
  std::string path;
  try {
    path = join_path(abs_path(dir), "tmpXXXXXX" + suffix);
  } catch (const OSError& e) {
    throw StagingWriteError(e.errno_value, dir);  // a relative directory, and no working directory
  }
  check_no_nul(path);
  int fd = ::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) throw StagingWriteError(errno, path);
  return {UniqueFd(fd), std::move(path)};
}

// The system's default temporary directory, found as the platform's temp-file facility finds it:
// $TMPDIR, $TEMP, $TMP, then /tmp, /var/tmp, /usr/tmp and the working directory, the first in
// which a file can be made. The file made there is the staged file.
NewFile create_in_default_dir(const std::string& suffix) {
  std::vector<std::string> candidates;
  for (const char* env : {"TMPDIR", "TEMP", "TMP"}) {
    std::string v = getenv_str(env);
    if (!v.empty()) candidates.push_back(std::move(v));
  }
  for (const char* d : {"/tmp", "/var/tmp", "/usr/tmp"}) candidates.emplace_back(d);
  candidates.emplace_back(".");
  for (const auto& dir : candidates) {
    try {
      return create_unique(dir, suffix);
    } catch (const OSError&) {
      // not usable: the next candidate
    } catch (const ValueError&) {
      // a NUL in an environment value cannot occur, but would not be usable either
    }
  }
  throw StagingWriteError(ENOENT, "No usable temporary directory found in " + repr_list(candidates));
}

}  // namespace

std::optional<std::string> stage_dir() {
  std::string dir = strip_unicode(getenv_str(STAGE_DIR_ENV));
  if (dir.empty()) return std::nullopt;
  try {
    make_dirs(dir);
    return dir;
  } catch (const OSError& e) {
    elog(std::string(STAGE_DIR_ENV) + "=" + repr_str(dir) + " unusable (" + os_error_text(e) +
         ") — staging in the default temp dir instead");
    return std::nullopt;
  }
}

void own_stage_dir_if_told() {
  if (getenv_str("MIRRANT2_STAGE_DIR_OWNED") != "1") return;
  const std::string dir = strip_unicode(getenv_str(STAGE_DIR_ENV));
  if (dir.empty()) return;
  auto lock = staged_lock();
  owned_stage_dir() = abs_path(dir);  // the working directory may not stay the same
}

namespace {

// A new staged file for member `nm`, filled by `fill(write)` through `write(data, n)`, closed and
// recorded. Until it is recorded it is the file in progress, so that a signal's clean-up removes
// it as well; a failure removes it here. A failed write names the staged file; what `fill` throws
// otherwise (reading the bundle) passes unchanged.
template <class Fill>
std::string stage_with(const std::string& nm, Fill&& fill) {
  std::string suffix(1, '_');
  suffix += base_name(nm);
  auto dir = stage_dir();
  NewFile f;
  {
    auto lock = staged_lock();
    // Room on the list first: once the file is written, recording it must not fail.
    staged().reserve(staged().size() + 1);
    f = dir ? create_unique(*dir, suffix) : create_in_default_dir(suffix);
    staging_in_progress() = f.path;
  }
  auto forget = [&] {
    auto lock = staged_lock();
    ::unlink(f.path.c_str());
    staging_in_progress().clear();
  };
  try {
    fill([&](const char* data, size_t n) {
      try {
        write_all(f.fd.get(), data, n);
      } catch (const OSError& e) {
        throw StagingWriteError(e.errno_value, f.path);
      }
    });
  } catch (...) {
    f.fd.close();
    forget();
    throw;
  }
  if (int err = f.fd.close(); err != 0) {
    forget();
    throw StagingWriteError(err, f.path);
  }
  auto lock = staged_lock();
  staging_in_progress().clear();
  staged().push_back(f.path);
  return f.path;
}

std::optional<std::string> in_place(const std::string& bundle, const std::string& nm) {
  if (!is_dir(bundle)) return std::nullopt;
  std::string p = join_path(bundle, nm);
  if (is_regular_file(p)) return p;
  return std::nullopt;
}

}  // namespace

std::string stage_tflite(const std::string& bundle, const std::string& nm, std::string_view data) {
  if (auto p = in_place(bundle, nm)) return *p;
  return stage_with(nm, [&](const auto& write) { write(data.data(), data.size()); });
}

std::optional<std::string> stage_member(const std::string& bundle, const std::string& nm) {
  if (auto p = in_place(bundle, nm)) return p;
  if (is_dir(bundle) || !has_member(bundle, {nm})) return std::nullopt;
  return stage_with(nm, [&](const auto& write) {
    if (!read_member(bundle, {nm}, MEMBER_CEILING, write))
      throw RuntimeError("member " + repr_str(nm) + " of " + repr_str(bundle) + " went away while being staged");
  });
}

}  // namespace quorvane::m2

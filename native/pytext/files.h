// Python's file calls over the POSIX helpers (posixfs/paths.h), failing as Python's do: ValueError
// for a path holding NUL, OSError(errno[, path]) for a failed call. Paths are raw file-system
// bytes. Nothing here needs the interpreter lock.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "posixfs/paths.h"
#include "pytext/errors.h"

namespace quorvane::pytext {

/// Throws ValueError("embedded null byte") for a path holding NUL, as Python's os calls and open()
/// do.
void check_no_nul(std::string_view path);

/// os.path.abspath (posixfs::abs_path). Throws OSError(errno) when the working directory cannot be
/// read.
std::string abs_path(std::string_view p);

/// os.makedirs(path, exist_ok=True) (posixfs::make_dirs). Throws ValueError for a NUL, else
/// OSError(errno, the directory that could not be made).
void make_dirs(const std::string& path);

/// Opens `path` read-only (close-on-exec) for a whole-file read, as Python's open(path, "rb")
/// does: ValueError for a NUL, OSError(errno, path) when it cannot be opened, OSError(EISDIR,
/// path) for a directory. An open interrupted by a signal is retried, after `on_interrupt` when
/// one is given (it may throw to give up).
posixfs::UniqueFd open_for_read(const std::string& path, const std::function<void()>& on_interrupt = {});

}  // namespace quorvane::pytext

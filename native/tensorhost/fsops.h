// File-system helpers with the semantics of Python's os.path and open(): path tests that answer
// false instead of failing, path joining as os.path.join does, whole-file reads that fail with
// OSError(errno, filename), and the text and kind name Python gives such an error.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "posixfs/paths.h"
#include "pytext/files.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

// Shared with the local avatar API's core (posixfs/paths.h).
using posixfs::UniqueFd;
using posixfs::has_nul;
using posixfs::is_dir;
using posixfs::is_regular_file;
using posixfs::path_exists;
using posixfs::join_path;
using posixfs::base_name;
using posixfs::split_path;

// Python's file calls, shared likewise (pytext/files.h): check_no_nul, abs_path, make_dirs, and
// open_for_read, which opens `path` read-only for a whole-file read and throws ValueError for a
// NUL in the path, OSError(errno, path) when it cannot be opened, and OSError(EISDIR, path) for a
// directory (as Python's open() refuses one).
using pytext::check_no_nul;
using pytext::abs_path;
using pytext::make_dirs;
using pytext::open_for_read;

/// The errno with which stat() of `path` (links followed) fails: ENOENT for nothing there or a
/// dangling link, ELOOP for a loop, EACCES for a directory on the way that cannot be searched; 0
/// when it succeeds.
int stat_errno(const std::string& path);

/// The user's home directory as os.path.expanduser("~") finds it: $HOME, else the password entry.
std::string home_dir();

/// The whole content of the file at `path`, read until end of file. Throws as open_for_read, and
/// OSError(errno) without a file name on a read error, as a Python read() does.
std::string read_file_bytes(const std::string& path);

/// str() of the Python OSError that `e` becomes: "[Errno 2] No such file or directory: '/x'", or
/// without the ": '/x'" part when no file name is known.
std::string os_error_text(const OSError& e);

/// The Python class name for an OSError with this errno ("FileNotFoundError", "PermissionError",
/// ..., "OSError" for the rest).
const char* os_error_kind(int errno_value);

}  // namespace quorvane::m2

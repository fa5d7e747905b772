// What the cache's binding files share beyond common.h: path conversions between Python objects and
// raw file-system bytes, the Python exceptions of the core's errors.
#pragma once

#include <pybind11/pybind11.h>
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "open/bind/common.h"
#include "open/errors.h"
#include "pytext/bind/errors.h"

namespace quorvane::open::bind {

namespace py = pybind11;

// Paths between Python objects and raw file-system bytes, and the cores' errors as Python
// exceptions raised on the spot (pytext/bind/errors.h).
using pytext::bind::fs_bytes;
using pytext::bind::fs_str;
using pytext::bind::with_core_errors;

/// Registration of each area's names.
void register_cache_keys(py::module_& m);
void register_cache_materialise(py::module_& m);
void register_cache_evict(py::module_& m);

/// `_content_key` as the module defines it: while the module attribute is this very function,
/// materialising keys the file through the descriptor it unpacks from; any other object is called.
py::handle original_content_key();

/// The content key of the open regular file `fd` (the avatar file at `source`, whose status `st`
/// is): its identity from `st`, its digits from the memo under `avatars`, else hashed from `fd`
/// (from its current offset) and the memo stored. Raises OSError when a read fails.
py::str content_key_of_open_file(const std::string& source, int fd, const struct stat& st, const std::string& avatars);

/// The `fcntl` module as imported when the module loaded (None where it could not be): when
/// `_fcntl` is this very module the locks are taken directly; any other object is called.
py::handle real_fcntl();

}  // namespace quorvane::open::bind

// What the cache's binding files share beyond common.h: path conversions between Python objects and
// raw file-system bytes, the Python exceptions of the core's errors.
#pragma once

#include <pybind11/pybind11.h>
#include <sys/stat.h>

#include <optional>
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
/// (from its current offset) and the memo stored, unless the file is found changed after the
/// hashing (`changed` then says so: the digits name no content). Raises OSError when a read
/// fails.
py::str content_key_of_open_file(const std::string& source, int fd, const struct stat& st, const std::string& avatars,
                                 bool& changed);

/// The setting a refusal of the cache root names: "QUORVANE_CACHE_DIR" when it is set, else
/// "HOME" (with the user database's home when HOME is not set), and then that home, which must
/// be there already: the cache is made in it, never the home itself.
struct RootSetting {
  py::str name;
  std::optional<std::string> home;
};
RootSetting root_setting();

/// The `fcntl` module as imported when the module loaded (None where it could not be): when
/// `_fcntl` is this very module the locks are taken directly; any other object is called.
py::handle real_fcntl();

}  // namespace quorvane::open::bind

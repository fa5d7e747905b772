// What the cache's binding files share beyond common.h: path conversions between Python objects and
// raw file-system bytes, the Python exceptions of the core's errors.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "open/bind/common.h"
#include "open/errors.h"

namespace quorvane::open::bind {

namespace py = pybind11;

/// The raw file-system bytes of a path object: os.fspath, then str encoded as os.fsencode does
/// (surrogate escapes give back their bytes); bytes are taken as they are. TypeError for other
/// objects, as os functions raise it.
std::string fs_bytes(py::handle path);

/// os.fsdecode of raw file-system bytes.
py::str fs_str(std::string_view bytes);

/// The Python OSError instance (of the subclass its errno selects) for a core OSError.
py::object py_os_error(const OSError& e);

/// Runs `f`, turning the core's errors into their Python exceptions.
template <class F>
auto with_core_errors(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const OSError& e) {
    py::object exc = py_os_error(e);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
  } catch (const ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    throw py::error_already_set();
  } catch (const OverflowError& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
    throw py::error_already_set();
  }
}

/// Registration of each area's names.
void register_cache_keys(py::module_& m);
void register_cache_materialise(py::module_& m);
void register_cache_evict(py::module_& m);

/// The `fcntl` module as imported when the module loaded (None where it could not be): when
/// `_fcntl` is this very module the locks are taken directly; any other object is called.
py::handle real_fcntl();

}  // namespace quorvane::open::bind

// What the cache's binding files share: the module whose attributes the cache functions read at
// each use (as a Python function reads its globals), path conversions between Python objects and
// raw file-system bytes, the Python exceptions of the core's errors, and `from M import N`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "open/errors.h"

namespace quorvane::open::bind {

namespace py = pybind11;

/// Remembers `m` as the module of the cache functions (kept alive for the life of the process).
void set_cache_module(const py::module_& m);

/// The module attribute `name`, read now (so a test that replaces it is seen at once).
py::object mod_attr(const char* name);

/// Sets the module attribute `name` to `value`.
void set_mod_attr(const char* name, py::handle value);

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

/// `from module import name` at this moment (sys.modules honoured): ImportError "cannot import
/// name ..." when the module lacks the name.
py::object import_from(const char* module, const char* name);

/// Raises what quorvane._errors.refuse(cls, message, detail) returns, `cls` being the class of
/// that module named `cls_name`; the caught error travels only as `detail`, unchained.
[[noreturn]] void raise_refusal(const char* cls_name, const char* message, py::handle detail);

/// Registration of each area's names.
void register_cache_keys(py::module_& m);
void register_cache_materialise(py::module_& m);
void register_cache_evict(py::module_& m);

/// The `fcntl` module as imported when the module loaded (None where it could not be): when
/// `_fcntl` is this very module the locks are taken directly; any other object is called.
py::handle real_fcntl();

}  // namespace quorvane::open::bind

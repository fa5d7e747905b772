// The Python exceptions of the cores' error family (pytext/errors.h), for the binding files of
// every module: one spelling of the translation, which each module registers once and may also
// apply in place where its Python code would catch the error on the spot.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "pytext/errors.h"

namespace quorvane::pytext::bind {

namespace py = pybind11;

/// os.fsdecode of raw file-system bytes.
inline py::str fs_str(std::string_view bytes) {
  PyObject* s = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

/// The raw file-system bytes of a path object: os.fspath, then str encoded as os.fsencode does
/// (surrogate escapes give back their bytes); bytes are taken as they are. TypeError for other
/// objects, as os functions raise it.
inline std::string fs_bytes(py::handle path) {
  py::object p = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!p) throw py::error_already_set();
  if (!PyBytes_Check(p.ptr())) {
    p = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(p.ptr()));
    if (!p) throw py::error_already_set();
  }
  return std::string(PyBytes_AS_STRING(p.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(p.ptr())));
}

/// The Python OSError instance, of the subclass its errno selects, for a core OSError:
/// OSError(errno, strerror[, filename[, None, filename2]]).
inline py::object py_os_error(const OSError& e) {
  py::list args;
  args.append(e.errno_value);
  args.append(std::strerror(e.errno_value));
  if (e.filename) args.append(fs_str(*e.filename));
  if (e.filename2) {
    if (!e.filename) args.append(py::none());
    args.append(py::none());
    args.append(fs_str(*e.filename2));
  }
  return py::reinterpret_borrow<py::object>(PyExc_OSError)(*py::tuple(args));
}

/// Sets the Python error for the family member `p` holds; anything else is rethrown untouched, so
/// this is a whole exception translator for pybind11 (translators pass on what they rethrow).
inline void set_python_error(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const OSError& e) {
    py::object exc = py_os_error(e);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  } catch (const ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const RuntimeError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const ZeroDivisionError& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
  } catch (const IndexError& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const OverflowError& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const PyKindError& e) {
    py::object cls = py::getattr(py::module_::import("builtins"), e.kind.c_str(), py::none());
    if (cls.is_none() || !PyExceptionClass_Check(cls.ptr())) cls = py::reinterpret_borrow<py::object>(PyExc_RuntimeError);
    PyErr_SetString(cls.ptr(), e.what());
  }
}

/// Runs `f`, raising the family's errors as their Python exceptions right here, for code that
/// then handles them as Python's try/except would.
template <class F>
auto with_core_errors(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const CoreError&) {
    set_python_error(std::current_exception());
    throw py::error_already_set();
  }
}

}  // namespace quorvane::pytext::bind

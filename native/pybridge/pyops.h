// The Python operations both avatar APIs' bindings spell the way Python code would: a module's
// globals read afresh, imports at the moment of need, truth values, isinstance, unpacking.
//
// Each extension module links its own copy of this library (hidden symbols), so `set_module`
// names that module's own namespace for `global` and `set_global`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace quorvane::pybridge {

namespace py = pybind11;

/// Remembers the module object (kept for the life of the process); called first in module init.
void set_module(py::handle m);

/// The module's current value of `name`, looked up at every call, as a Python function reads a
/// global (so a test that patches the module attribute is obeyed).
py::object global(const char* name);

/// Sets the module attribute `name` (process-wide state).
void set_global(const char* name, py::handle value);

/// `import <dotted>` now; honours entries placed in sys.modules.
py::object import_module(const char* dotted);

/// `from <dotted> import <name>` now: the attribute, else the package's submodule of that name
/// (imported if need be), else the ImportError Python raises ("cannot import name ...").
py::object import_from(const char* dotted, const char* name);

/// A new reference returned by the C API, or the pending Python error raised.
py::object owned(PyObject* result);

/// `getattr(obj, name, dflt)`: only an AttributeError gives the default.
py::object getattr_or(py::handle obj, const char* name, py::handle dflt);

/// `hasattr(obj, name)`: only an AttributeError means no.
bool has_attr(py::handle obj, const char* name);

/// `bool(obj)`, raising what it raises.
bool truthy(py::handle obj);

/// `isinstance(obj, cls)` with Python's semantics; a failing check raises.
bool is_instance(py::handle obj, py::handle cls);

/// Whether `exc` is an instance of Exception (rather than only of BaseException).
bool is_exception(py::handle exc);

/// `type(obj).__name__`.
std::string type_name(py::handle obj);

/// `iter(obj)`.
py::object iter_of(py::handle obj);

/// `next(it)`, or a null object at the end (errors raised).
py::object next_of(py::handle it);

/// `first, second = obj`, with Python's errors for what cannot be unpacked into two.
std::pair<py::object, py::object> unpack_pair(py::handle obj);

/// Inside a `catch` handler: the Python exception instance of what is being handled (a Python
/// error as it is, a C++ one translated as pybind11 translates it).
py::object caught_exception();

}  // namespace quorvane::pybridge

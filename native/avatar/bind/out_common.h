// Helpers of the consumer-side binding files of quorvane._avatar (output stream, playout clock,
// teardown, geometry, compatibility members): reaching the module's names the way a Python
// function reaches its globals, Python's getattr/hasattr/isinstance/truth semantics, and the
// module logger.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "pybridge/flow.h"

namespace quorvane::avatar::bind::out {

namespace py = pybind11;
namespace pb = quorvane::pybridge;

/// Remembers the module object; called once, before any member is registered.
void set_module(py::handle m);

/// The module's current value of `name`, looked up at every call (a test that patches
/// `quorvane._avatar.<name>` is obeyed).
py::object global(const char* name);

/// `asyncio.<name>`, through the module's `asyncio`.
py::object aio(const char* name);

/// `time.monotonic()` through the module's `time`, as a Python object and as a double.
py::object monotonic_obj();
double monotonic();

/// `getattr(obj, name, dflt)`: only an AttributeError gives `dflt`; other errors propagate.
py::object getattr_or(py::handle obj, const char* name, py::handle dflt);

/// `hasattr(obj, name)` with the builtin's semantics.
bool has_attr(py::handle obj, const char* name);

/// `bool(obj)`; raises what the truth test raises.
bool truthy(py::handle obj);

/// `isinstance(obj, cls)`; raises what the check raises.
bool is_instance(py::handle obj, py::handle cls);

/// Whether `obj` is an exception instance of the Exception family (not merely BaseException).
bool is_exception(py::handle obj);

/// `type(obj).__name__`.
std::string type_name(py::handle obj);

/// `float(obj)` as a double; raises what `float()` raises.
double as_double(py::handle obj);

/// Whether the caught error is an instance of `asyncio.<name>` (the class as it is now).
bool is_aio(const py::error_already_set& e, const char* name);

/// Inside a `catch (...)` handler: the Python exception instance of what is being handled (a
/// Python error as it is, a C++ one translated the way pybind11 translates it).
py::object caught_exception();

/// `_log.warning(fmt, *args)`: the format and its arguments handed over unformatted.
template <class... Args>
void log_warning(const char* fmt, Args&&... args) {
  global("_log").attr("warning")(fmt, std::forward<Args>(args)...);
}

}  // namespace quorvane::avatar::bind::out

// Helpers shared by the binding files of quorvane._open: reaching the module's own names the way
// a Python function reaches its globals, importing the package's other modules at the moment of
// need, and raising errors the way the module's Python surface promises.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pybridge/flow.h"

namespace quorvane::open::bind {

namespace py = pybind11;
namespace pb = quorvane::pybridge;

/// Remembers the module object; called once, first thing in the module's init.
void set_module(py::handle m);

/// The module's current value of `name`, looked up afresh at every call (so a test that patches
/// `quorvane._open.<name>` is obeyed).
py::object global(const char* name);

/// Sets the module attribute `name` (process-wide state such as `_SWEPT`).
void set_global(const char* name, py::handle value);

/// `import <dotted>` at call time; honours entries a caller placed in sys.modules.
py::object import_module(const char* dotted);

/// `from <dotted> import <name>` at call time: the module's attribute, else its submodule of that
/// name (imported now when <dotted> is a package and the submodule is not loaded yet), else the
/// ImportError Python raises ("cannot import name ...").
py::object import_from(const char* dotted, const char* name);

/// The class or function `name` of quorvane._errors, imported now.
py::object errors_attr(const char* name);

/// What `refuse(<cls>, message, detail)` of quorvane._errors returns: always three positional
/// arguments, the class named `cls` of that module first.
py::object refuse(const char* cls, py::handle message, py::handle detail);

/// Raises the error `refuse` returns, in place of whatever is being handled: no cause, no context.
[[noreturn]] void raise_refused(const char* cls, py::handle message, py::handle detail);

/// Raises `exc` as `raise exc from None` inside an `except` clause that caught `caught` would:
/// no cause, context suppressed (and kept as `caught`).
[[noreturn]] void raise_context_suppressed(py::handle exc, py::handle caught);

/// Raises quorvane._errors.<cls>(message): the direct form, the message its only argument.
[[noreturn]] void raise_avatar_error(const char* cls, py::handle message);
[[noreturn]] inline void raise_avatar_error(const char* cls, const char* message) {
  raise_avatar_error(cls, py::str(message));
}

/// Inside a `catch (...)` handler: the Python exception instance of what is being handled (a
/// Python error as it is, a C++ one translated as pybind11 translates it).
py::object caught_exception();

/// `isinstance(obj, cls)` with Python's semantics; a failing check raises.
bool is_instance(py::handle obj, py::handle cls);

/// Whether `exc` is an instance of Exception (rather than only of BaseException).
bool is_exception(py::handle exc);

/// `type(obj).__name__`.
std::string type_name(py::handle obj);

/// Python's truth value of `obj`; raises what `bool(obj)` raises.
bool truthy(py::handle obj);

/// The C double of a Python number (its `__float__`, or `__index__`); raises TypeError for
/// anything else.
double as_float(py::handle obj);

/// `iter(obj)`; raises what `iter` raises (TypeError for an object that is not iterable).
py::object iter_of(py::handle obj);

/// `next(it)` for an iterator: the next item, or an empty object once `it` is exhausted (so a
/// loop reads `while (py::object item = next_of(it))`); raises what the iterator raises.
py::object next_of(py::handle it);

/// `first, second = obj`, with Python's errors for what cannot be unpacked into two.
std::pair<py::object, py::object> unpack_pair(py::handle obj);

/// `with cm as value: body(value)`: enters, runs `body`, and exits with the error of the body
/// (which propagates unless the exit swallows it) or with three Nones.
template <class F>
void with_block(py::handle cm, F&& body);

// ---- implementation of the template ----------------------------------------------------

namespace detail {
bool exit_with(py::handle exit, py::handle exc);
}

template <class F>
void with_block(py::handle cm, F&& body) {
  py::object type = py::reinterpret_borrow<py::object>(py::type::handle_of(cm));
  py::object enter = py::getattr(type, "__enter__");
  py::object exit = py::getattr(type, "__exit__").attr("__get__")(cm, type);
  py::object value = enter.attr("__get__")(cm, type)();
  py::object err;
  try {
    body(value);
  } catch (...) {
    err = caught_exception();
  }
  if (err) {
    if (!detail::exit_with(exit, err)) pb::raise_instance(err);
    return;
  }
  exit(py::none(), py::none(), py::none());
}

}  // namespace quorvane::open::bind

// Helpers shared by the binding files of quorvane._open: reaching the module's own names the way
// a Python function reaches its globals, importing the package's other modules at the moment of
// need, and raising errors the way the module's Python surface promises.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pybridge/flow.h"
#include "pybridge/pyops.h"

namespace quorvane::open::bind {

namespace py = pybind11;

// The shared spellings of Python operations (pybridge/pyops.h).
using pybridge::set_module;
using pybridge::global;
using pybridge::set_global;
using pybridge::import_module;
using pybridge::import_from;
using pybridge::truthy;
using pybridge::is_instance;
using pybridge::is_exception;
using pybridge::type_name;
using pybridge::iter_of;
using pybridge::next_of;
using pybridge::unpack_pair;
using pybridge::caught_exception;
namespace pb = quorvane::pybridge;

/// The module's own name, as the classes it makes carry it in __module__.
inline constexpr const char* kModule = "quorvane._open";

/// Registers the module's one translator of the cores' errors into Python exceptions.
void register_errors();

/// The class or function `name` of quorvane._errors, imported now.
py::object errors_attr(const char* name);

/// What `refuse(<cls>, message, detail)` of quorvane._errors returns: always three positional
/// arguments, the class named `cls` of that module first.
py::object refuse(const char* cls, py::handle message, py::handle detail);

/// Raises the error `refuse` returns, in place of whatever is being handled: no cause, no context.
[[noreturn]] void raise_refused(const char* cls, py::handle message, py::handle detail);

/// Raises the error `refuse(cls, message, cause)` returns as `raise ... from cause` would: `cause`
/// is its detail, its cause and its context.
[[noreturn]] void raise_refused_from(const char* cls, py::handle message, py::handle cause);

/// Raises `exc` as `raise exc from None` inside an `except` clause that caught `caught` would:
/// no cause, context suppressed (and kept as `caught`).
[[noreturn]] void raise_context_suppressed(py::handle exc, py::handle caught);

/// Raises quorvane._errors.<cls>(message): the direct form, the message its only argument.
[[noreturn]] void raise_avatar_error(const char* cls, py::handle message);
[[noreturn]] inline void raise_avatar_error(const char* cls, const char* message) {
  raise_avatar_error(cls, py::str(message));
}

/// The C double of a Python number (its `__float__`, or `__index__`); raises TypeError for
/// anything else.
double as_float(py::handle obj);

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

#include "open/bind/common.h"

#include "pytext/bind/errors.h"

namespace quorvane::open::bind {

void register_errors() { py::register_local_exception_translator(pytext::bind::set_python_error); }

py::object errors_attr(const char* name) { return import_from("quorvane._errors", name); }

py::object refuse(const char* cls, py::handle message, py::handle detail) {
  py::object fn = errors_attr("refuse");
  py::object klass = errors_attr(cls);
  return fn(klass, message, detail);
}

namespace {

py::object refused_instance(const char* cls, py::handle message, py::handle detail) {
  py::object exc = refuse(cls, message, detail);
  if (!PyExceptionInstance_Check(exc.ptr())) {
    pb::raise_new(PyExc_TypeError, py::make_tuple("exceptions must derive from BaseException"));
  }
  return exc;
}

}  // namespace

void raise_refused(const char* cls, py::handle message, py::handle detail) {
  pb::raise_instance(refused_instance(cls, message, detail));
}

void raise_refused_from(const char* cls, py::handle message, py::handle cause) {
  py::object exc = refused_instance(cls, message, cause);
  PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
  PyException_SetContext(exc.ptr(), Py_NewRef(cause.ptr()));
  pb::raise_instance(exc);
}

void raise_context_suppressed(py::handle exc, py::handle caught) {
  // PyException_SetCause with null clears the cause and sets __suppress_context__.
  PyException_SetCause(exc.ptr(), nullptr);
  PyException_SetContext(exc.ptr(), Py_NewRef(caught.ptr()));
  pb::raise_instance(exc);
}

void raise_avatar_error(const char* cls, py::handle message) {
  pb::raise_instance(errors_attr(cls)(message));
}

double as_float(py::handle obj) {
  const double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

namespace detail {

bool exit_with(py::handle exit, py::handle exc) {
  py::object tb = py::reinterpret_steal<py::object>(PyException_GetTraceback(exc.ptr()));
  if (!tb) tb = py::none();
  py::object r = py::reinterpret_borrow<py::object>(exit)(py::type::handle_of(exc), exc, tb);
  return truthy(r);
}

}  // namespace detail

}  // namespace quorvane::open::bind

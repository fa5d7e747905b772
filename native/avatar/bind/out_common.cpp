#include "avatar/bind/out_common.h"

namespace quorvane::avatar::bind::out {

namespace {

// Held for the life of the interpreter: a module object outlives every call into it.
PyObject* g_module = nullptr;

}  // namespace

void set_module(py::handle m) {
  Py_INCREF(m.ptr());
  g_module = m.ptr();
}

py::object global(const char* name) { return py::handle(g_module).attr(name); }

py::object aio(const char* name) { return global("asyncio").attr(name); }

py::object monotonic_obj() { return global("time").attr("monotonic")(); }

double monotonic() { return as_double(monotonic_obj()); }

py::object getattr_or(py::handle obj, const char* name, py::handle dflt) {
  PyObject* got = PyObject_GetAttrString(obj.ptr(), name);
  if (got != nullptr) return py::reinterpret_steal<py::object>(got);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::reinterpret_borrow<py::object>(dflt);
}

bool has_attr(py::handle obj, const char* name) {
  PyObject* got = PyObject_GetAttrString(obj.ptr(), name);
  if (got != nullptr) {
    Py_DECREF(got);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return false;
}

bool truthy(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool is_instance(py::handle obj, py::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool is_exception(py::handle obj) {
  return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)) != 0;
}

std::string type_name(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

double as_double(py::handle obj) {
  // float() itself, so a text such as "0.3" converts as it would in Python.
  py::object f = py::reinterpret_steal<py::object>(PyNumber_Float(obj.ptr()));
  if (!f) throw py::error_already_set();
  return PyFloat_AS_DOUBLE(f.ptr());
}

bool is_aio(const py::error_already_set& e, const char* name) { return e.matches(aio(name)); }

py::object caught_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    return e.value();
  } catch (...) {
    py::detail::try_translate_exceptions();
    py::error_already_set e;
    return e.value();
  }
}

}  // namespace quorvane::avatar::bind::out

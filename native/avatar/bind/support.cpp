#include "avatar/bind/support.h"

#include <cmath>
#include <limits>

namespace quorvane::avatar::bind {

namespace {

// Held for the life of the interpreter: a module object outlives every call into it.
PyObject* g_module = nullptr;

}  // namespace

void set_module(py::handle m) {
  Py_INCREF(m.ptr());
  g_module = m.ptr();
}

py::object global(const char* name) { return py::reinterpret_borrow<py::object>(g_module).attr(name); }

py::object aio(const char* name) { return global("asyncio").attr(name); }

py::object monotonic_obj() { return global("time").attr("monotonic")(); }

double monotonic() { return as_double(monotonic_obj()); }

py::object import_module(const char* dotted) { return owned(PyImport_ImportModule(dotted)); }

py::object import_from(const char* dotted, const char* name) {
  py::object mod = import_module(dotted);
  PyObject* got = PyObject_GetAttrString(mod.ptr(), name);
  if (got != nullptr) return py::reinterpret_steal<py::object>(got);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  py::object file = getattr_or(mod, "__file__", py::none());
  const std::string where = file.is_none() ? std::string("unknown location") : std::string(py::str(file));
  py::object err = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
      "cannot import name '" + std::string(name) + "' from '" + dotted + "' (" + where + ")",
      py::arg("name") = dotted, py::arg("path") = file);
  pb::raise_instance(err);
}

py::object owned(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

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

bool is_exception(py::handle exc) {
  return PyObject_TypeCheck(exc.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)) != 0;
}

std::string type_name(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

std::int64_t as_int(py::handle obj) {
  py::object v = owned(PyNumber_Long(obj.ptr()));
  const long long r = PyLong_AsLongLong(v.ptr());
  if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<std::int64_t>(r);
}

double as_double(py::handle obj) { return PyFloat_AS_DOUBLE(owned(PyNumber_Float(obj.ptr())).ptr()); }

bool equal(py::handle a, py::handle b) { return truthy(owned(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }

std::pair<py::object, py::object> unpack_pair(py::handle obj) {
  PyObject* it = PyObject_GetIter(obj.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    pb::raise_new(PyExc_TypeError, py::make_tuple("cannot unpack non-iterable " + type_name(obj) + " object"));
  }
  py::object iter = py::reinterpret_steal<py::object>(it);
  py::object items[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* item = PyIter_Next(iter.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      pb::raise_new(PyExc_ValueError,
                    py::make_tuple("not enough values to unpack (expected 2, got " + std::to_string(i) + ")"));
    }
    items[i] = py::reinterpret_steal<py::object>(item);
  }
  PyObject* extra = PyIter_Next(iter.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    pb::raise_new(PyExc_ValueError, py::make_tuple("too many values to unpack (expected 2)"));
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return {std::move(items[0]), std::move(items[1])};
}

bool event_is_set(py::handle event) { return truthy(event.attr("is_set")()); }

bool is_aio(const py::error_already_set& e, const char* name) { return e.matches(aio(name)); }

void empty_queue(py::handle q) {
  for (;;) {
    try {
      q.attr("get_nowait")();
    } catch (py::error_already_set& e) {
      if (!is_aio(e, "QueueEmpty")) throw;
      return;
    }
  }
}

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

void raise_assertion() { pb::raise_new(PyExc_AssertionError, py::tuple()); }

void chain_context(py::handle exc, py::handle earlier) {
  if (!exc || !earlier || exc.is(earlier)) return;
  PyException_SetContext(exc.ptr(), Py_NewRef(earlier.ptr()));
}

std::int64_t array_size(py::handle arr) { return as_int(arr.attr("size")); }

void check_tick_divisor(std::int64_t spt) {
  if (spt == 0) pb::raise_new(PyExc_ZeroDivisionError, py::make_tuple("integer division or modulo by zero"));
}

std::int64_t whole_ticks(std::int64_t n_samples, std::int64_t spt) {
  check_tick_divisor(spt);
  std::int64_t q = n_samples / spt;
  if ((n_samples % spt != 0) && ((n_samples < 0) != (spt < 0))) --q;
  return q;
}

py::object empty_f32() {
  py::object np = global("np");
  return np.attr("zeros")(0, py::arg("dtype") = np.attr("float32"));
}

bool int16_scale(float& out) {
  py::object v = global("INT16_MAX");
  if (PyLong_CheckExact(v.ptr())) {
    const long long n = PyLong_AsLongLong(v.ptr());
    if (n == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    // Beyond 2^24 a Python int no longer maps onto one float32 the way the array scalar does.
    if (n > (1LL << 24) || n < -(1LL << 24)) return false;
    out = static_cast<float>(n);
    return true;
  }
  if (PyFloat_CheckExact(v.ptr())) {
    const double d = PyFloat_AS_DOUBLE(v.ptr());
    if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) return false;
    out = static_cast<float>(d);
    return true;
  }
  return false;
}

void warn_invalid_cast(std::size_t invalid) {
  if (invalid == 0) return;
  if (PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1) < 0) {
    throw py::error_already_set();
  }
}

}  // namespace quorvane::avatar::bind

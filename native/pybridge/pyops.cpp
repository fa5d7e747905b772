#include "pybridge/pyops.h"

#include "pybridge/flow.h"

namespace quorvane::pybridge {

namespace {

// Held for the life of the interpreter: a module object outlives every call into it.
PyObject* g_module = nullptr;

}  // namespace

void set_module(py::handle m) {
  Py_INCREF(m.ptr());
  g_module = m.ptr();
}

py::object global(const char* name) { return py::reinterpret_borrow<py::object>(g_module).attr(name); }

void set_global(const char* name, py::handle value) { py::setattr(py::handle(g_module), name, value); }

py::object import_module(const char* dotted) { return owned(PyImport_ImportModule(dotted)); }

py::object import_from(const char* dotted, const char* name) {
  // With `name` in the from-list, a package's submodule of that name is imported too when it is
  // not loaded yet, as the import statement does; a plain module is imported as it is.
  py::tuple fromlist = py::make_tuple(name);
  py::object mod = owned(PyImport_ImportModuleLevel(dotted, nullptr, nullptr, fromlist.ptr(), 0));
  PyObject* got = PyObject_GetAttrString(mod.ptr(), name);
  if (got != nullptr) return py::reinterpret_steal<py::object>(got);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  // As the import statement does: a submodule that is loaded but not bound on its package.
  py::dict modules = py::module_::import("sys").attr("modules");
  const std::string full = std::string(dotted) + "." + name;
  if (modules.contains(full)) return modules[full.c_str()];
  py::object file = getattr_or(mod, "__file__", py::none());
  const std::string where = file.is_none() ? std::string("unknown location") : std::string(py::str(file));
  py::object err = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
      "cannot import name '" + std::string(name) + "' from '" + dotted + "' (" + where + ")",
      py::arg("name") = dotted, py::arg("path") = file);
  raise_instance(err);
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

py::object iter_of(py::handle obj) { return owned(PyObject_GetIter(obj.ptr())); }

py::object next_of(py::handle it) {
  PyObject* item = PyIter_Next(it.ptr());
  if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(item);
}

std::pair<py::object, py::object> unpack_pair(py::handle obj) {
  PyObject* it = PyObject_GetIter(obj.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    raise_new(PyExc_TypeError, py::make_tuple("cannot unpack non-iterable " + type_name(obj) + " object"));
  }
  py::object iter = py::reinterpret_steal<py::object>(it);
  py::object items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = next_of(iter);
    if (!items[i]) {
      raise_new(PyExc_ValueError,
                py::make_tuple("not enough values to unpack (expected 2, got " + std::to_string(i) + ")"));
    }
  }
  if (next_of(iter)) raise_new(PyExc_ValueError, py::make_tuple("too many values to unpack (expected 2)"));
  return {std::move(items[0]), std::move(items[1])};
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

}  // namespace quorvane::pybridge

#include "open/bind/common.h"

namespace quorvane::open::bind {

namespace {

// Borrowed for the life of the interpreter: a module object outlives every call into it.
PyObject* g_module = nullptr;

}  // namespace

void set_module(py::handle m) {
  Py_INCREF(m.ptr());
  g_module = m.ptr();
}

py::object global(const char* name) {
  return py::reinterpret_borrow<py::object>(g_module).attr(name);
}

void set_global(const char* name, py::handle value) { py::setattr(py::handle(g_module), name, value); }

py::object import_module(const char* dotted) {
  PyObject* mod = PyImport_ImportModule(dotted);
  if (mod == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(mod);
}

py::object import_from(const char* dotted, const char* name) {
  // With `name` in the from-list, a package's submodule of that name is imported too when it is
  // not loaded yet, as the import statement does; a plain module is imported as it is.
  py::tuple fromlist = py::make_tuple(name);
  PyObject* loaded = PyImport_ImportModuleLevel(dotted, nullptr, nullptr, fromlist.ptr(), 0);
  if (loaded == nullptr) throw py::error_already_set();
  py::object mod = py::reinterpret_steal<py::object>(loaded);
  PyObject* got = PyObject_GetAttrString(mod.ptr(), name);
  if (got != nullptr) return py::reinterpret_steal<py::object>(got);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  // As the import statement does: a submodule that is loaded but not bound on its package.
  py::dict modules = py::module_::import("sys").attr("modules");
  const std::string full = std::string(dotted) + "." + name;
  if (modules.contains(full)) return modules[full.c_str()];
  py::object file = py::getattr(mod, "__file__", py::none());
  const std::string where = file.is_none() ? std::string("unknown location") : std::string(py::str(file));
  py::object err = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
      "cannot import name '" + std::string(name) + "' from '" + dotted + "' (" + where + ")",
      py::arg("name") = dotted, py::arg("path") = file);
  pb::raise_instance(err);
}

py::object errors_attr(const char* name) { return import_from("quorvane._errors", name); }

py::object refuse(const char* cls, py::handle message, py::handle detail) {
  py::object fn = errors_attr("refuse");
  py::object klass = errors_attr(cls);
  return fn(klass, message, detail);
}

void raise_refused(const char* cls, py::handle message, py::handle detail) {
  py::object exc = refuse(cls, message, detail);
  if (!PyExceptionInstance_Check(exc.ptr())) {
    pb::raise_new(PyExc_TypeError, py::make_tuple("exceptions must derive from BaseException"));
  }
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

bool is_instance(py::handle obj, py::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool is_exception(py::handle exc) { return PyObject_TypeCheck(exc.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)); }

std::string type_name(py::handle obj) {
  return py::str(py::type::handle_of(obj).attr("__name__"));
}

bool truthy(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

double as_float(py::handle obj) {
  const double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

py::object iter_of(py::handle obj) {
  PyObject* it = PyObject_GetIter(obj.ptr());
  if (it == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(it);
}

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
    pb::raise_new(PyExc_TypeError,
                  py::make_tuple("cannot unpack non-iterable " + type_name(obj) + " object"));
  }
  py::object iter = py::reinterpret_steal<py::object>(it);
  py::object items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = next_of(iter);
    if (!items[i]) {
      pb::raise_new(PyExc_ValueError, py::make_tuple("not enough values to unpack (expected 2, got " +
                                                     std::to_string(i) + ")"));
    }
  }
  if (next_of(iter)) pb::raise_new(PyExc_ValueError, py::make_tuple("too many values to unpack (expected 2)"));
  return {std::move(items[0]), std::move(items[1])};
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

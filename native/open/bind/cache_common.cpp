#include "open/bind/cache_common.h"

#include <cstring>

#include "pybridge/flow.h"

namespace quorvane::open::bind {

namespace {

PyObject* g_module = nullptr;

}  // namespace

void set_cache_module(const py::module_& m) {
  // Held for the life of the process: module functions outlive any module teardown order.
  g_module = m.inc_ref().ptr();
}

py::object mod_attr(const char* name) { return py::reinterpret_borrow<py::object>(g_module).attr(name); }

void set_mod_attr(const char* name, py::handle value) {
  py::setattr(py::handle(g_module), name, value);
}

std::string fs_bytes(py::handle path) {
  py::object p = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!p) throw py::error_already_set();
  if (PyBytes_Check(p.ptr())) return std::string(PyBytes_AS_STRING(p.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(p.ptr())));
  py::object b = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(p.ptr()));
  if (!b) throw py::error_already_set();
  return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

py::str fs_str(std::string_view bytes) {
  PyObject* s = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

py::object py_os_error(const OSError& e) {
  py::list args;
  args.append(e.errno_value);
  args.append(std::strerror(e.errno_value));
  if (e.filename) args.append(fs_str(*e.filename));
  if (e.filename2) {
    args.append(py::none());
    args.append(fs_str(*e.filename2));
  }
  return py::reinterpret_borrow<py::object>(PyExc_OSError)(*py::tuple(args));
}

py::object import_from(const char* module, const char* name) {
  py::object mod = py::reinterpret_steal<py::object>(
      PyImport_ImportModuleLevel(module, nullptr, nullptr, py::make_tuple(name).ptr(), 0));
  if (!mod) throw py::error_already_set();
  if (py::hasattr(mod, name)) return mod.attr(name);
  py::object file = py::getattr(mod, "__file__", py::none());
  std::string where = file.is_none() ? std::string("unknown location") : py::str(file).cast<std::string>();
  py::object err = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
      std::string("cannot import name '") + name + "' from '" + module + "' (" + where + ")");
  err.attr("name") = module;
  err.attr("path") = file;
  pybridge::raise_instance(err);
}

void raise_refusal(const char* cls_name, const char* message, py::handle detail) {
  py::object refuse = import_from("quorvane._errors", "refuse");
  py::object cls = import_from("quorvane._errors", cls_name);
  py::object exc = refuse(cls, message, detail);
  if (!PyExceptionInstance_Check(exc.ptr())) {
    pybridge::raise_new(PyExc_TypeError, py::make_tuple("exceptions must derive from BaseException"));
  }
  pybridge::raise_instance(exc);
}

}  // namespace quorvane::open::bind

#include "open/bind/cache_common.h"

#include <cstring>

#include "pybridge/flow.h"

namespace quorvane::open::bind {

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

}  // namespace quorvane::open::bind

#include "open/bind/cache_common.h"


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

}  // namespace quorvane::open::bind

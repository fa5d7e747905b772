// The avatar cache's module state: constants, the map of held entries, the sweep flag and the
// locking facility, then the names of each area.
#include "open/bind/cache_common.h"
#include "open/bind/register.h"

namespace quorvane::open::bind {

namespace {

PyObject* g_real_fcntl = Py_None;

}  // namespace

py::handle real_fcntl() { return g_real_fcntl; }

void register_cache(py::module_& m) {
  m.attr("_DEFAULT_CACHE_GB") = 10.0;
  m.attr("_HELD") = py::dict();
  m.attr("_SWEPT") = false;
  try {
    py::module_ fcntl = py::module_::import("fcntl");
    g_real_fcntl = fcntl.inc_ref().ptr();
    m.attr("_fcntl") = fcntl;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    m.attr("_fcntl") = py::none();
  }
  m.attr("_EVICT_MIN_IDLE_S") = 3600;
  // An unpack directory: an entry's name, ".tmp.", the writer's pid and, as this package names
  // them, "." and random digits (names left by earlier versions have none). It is matched
  // against whole names (fullmatch), so no anchor can let a final newline pass.
  m.attr("_TMP_RE") =
      py::module_::import("re").attr("compile")(R"(sha256-[0-9a-f]{32}\.tmp\.([0-9]+)(?:\.[0-9a-f]{16})?)");
  register_cache_keys(m);
  register_cache_materialise(m);
  register_cache_evict(m);
}

}  // namespace quorvane::open::bind

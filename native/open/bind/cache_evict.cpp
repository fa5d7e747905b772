// Eviction: the sweep and the judgements it asks for (entry in use, writer alive, bytes held).
#include "open/bind/cache_common.h"
#include "open/disk_usage.h"
#include "open/fs.h"
#include "open/locks.h"
#include "open/sweep.h"

namespace quorvane::open::bind {

namespace {

/// The sweep's hooks, each read from the module at the moment it is needed, so that a caller
/// who replaces `_in_use`, `_du`, `_TMP_RE` ... is heard.
class ModuleHooks final : public SweepHooks {
 public:
  double now_s() override { return as_float(global("time").attr("time")()); }
  void read_cap() override { cap_ = global("_cache_cap_bytes")(); }
  bool within_cap(std::int64_t total_bytes) override {
    int r = PyObject_RichCompareBool(py::int_(total_bytes).ptr(), cap_.ptr(), Py_LE);
    if (r < 0) throw py::error_already_set();
    return r == 1;
  }
  double min_idle_s() override { return as_float(global("_EVICT_MIN_IDLE_S")); }
  std::optional<std::string> tmp_writer(const std::string& name) override {
    // Whole names only: a pattern's `$` would also let a name with a final newline pass.
    py::object m = global("_TMP_RE").attr("fullmatch")(fs_str(name));
    if (m.is_none()) return std::nullopt;
    return fs_bytes(m.attr("group")(1));
  }
  bool pid_alive(const std::string& digits) override {
    py::object pid = py::reinterpret_steal<py::object>(PyNumber_Long(fs_str(digits).ptr()));
    if (!pid) throw py::error_already_set();
    return truthy(global("_pid_alive")(pid));
  }
  std::int64_t du(const std::string& path) override {
    return global("_du")(fs_str(path)).cast<std::int64_t>();
  }
  bool in_use(const std::string& path, double idle_s) override {
    return truthy(global("_in_use")(fs_str(path), idle_s));
  }

 private:
  py::object cap_;
};

void sweep_py(py::object avatars, py::object keep) {
  // Nothing that goes wrong in a sweep reaches the caller: the entry it has just obtained is
  // good either way. Interrupts and exits (not Exceptions) still leave.
  try {
    ModuleHooks hooks;
    const std::string a = fs_bytes(avatars);
    const std::string k = fs_bytes(keep);
    sweep(a, k, hooks);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  } catch (const std::exception&) {
  }
}

bool in_use(py::object entry, py::object idle_s) {
  py::object fcntl = global("_fcntl");
  if (fcntl.is_none()) {
    // Without locks only age tells: a week of quiet is the proof that nobody uses it.
    int r = PyObject_RichCompareBool(idle_s.ptr(), py::int_(static_cast<long>(kUnlockedInUseS)).ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
  }
  const std::string manifest = join_path(fs_bytes(entry), "manifest.json");
  if (fcntl.is(real_fcntl())) return with_core_errors([&] { return exclusive_refused(manifest); });
  UniqueFd fd = with_core_errors([&] { return open_lock_file(manifest); });
  if (!fd.valid()) return false;
  try {
    fcntl.attr("flock")(fd.get(), fcntl.attr("LOCK_EX") | fcntl.attr("LOCK_NB"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return true;
  }
  return false;
}

bool pid_alive(py::object pid) {
  py::object os = global("os");
  if (py::str(os.attr("name")).cast<std::string>() == "nt") return true;
  try {
    os.attr("kill")(pid, 0);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ProcessLookupError)) return false;
    if (e.matches(PyExc_OSError)) return true;
    // A number no process id can take names no process.
    if (e.matches(PyExc_OverflowError)) return false;
    throw;
  }
  return true;
}

py::int_ du_py(py::object path) {
  const std::string p = fs_bytes(path);
  std::uint64_t total = with_core_errors([&] {
    py::gil_scoped_release unlocked;
    return du(p);
  });
  return py::int_(total);
}

}  // namespace

void register_cache_evict(py::module_& m) {
  m.def("_sweep", &sweep_py, py::arg("avatars"), py::arg("keep"),
        "Keeps the cache near its cap: clears abandoned unpack directories, then removes the "
        "entries idle longest until the total fits, sparing entries used within "
        "_EVICT_MIN_IDLE_S, entries in use and keep. Looks only at the cache's own names and "
        "removes only through the avatars directory it opened. Never raises for what happens "
        "inside.");
  m.def("_in_use", &in_use, py::arg("entry"), py::arg("idle_s"),
        "Whether another open of the entry's manifest.json holds a lock (an exclusive "
        "non-blocking probe is refused; a manifest that is no regular file holds none); without "
        "locking, whether it was idle less than a week.");
  m.def("_pid_alive", &pid_alive, py::arg("pid"),
        "False only when the system says no process has that id.");
  m.def("_du", &du_py, py::arg("path"),
        "The bytes held below path: lstat sizes of every non-directory, linked directories not "
        "entered.");
}

}  // namespace quorvane::open::bind

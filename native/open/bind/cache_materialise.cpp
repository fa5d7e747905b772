// Materialising an avatar file into the cache, and holding the entries this process uses.
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <utility>

#include "open/bind/cache_common.h"
#include "open/fs.h"
#include "open/locks.h"
#include "pybridge/flow.h"

namespace quorvane::open::bind {

namespace {

constexpr const char* kPrepareFailed = "could not prepare that avatar";
constexpr const char* kNotUsable = "that is not a usable avatar";

void hold(py::object dest) {
  const std::string d = fs_bytes(dest);
  // The modification time is the entry's last-use stamp: refreshed at every use, held or not.
  try {
    with_core_errors([&] { touch_now(d); });
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
  }
  py::object fcntl = global("_fcntl");
  if (fcntl.is_none()) return;
  py::object held = global("_HELD");
  const std::string manifest = join_path(d, "manifest.json");
  const int present = PySequence_Contains(held.ptr(), dest.ptr());
  if (present < 0) throw py::error_already_set();
  if (present == 1) {
    py::object fd = held[dest];
    if (!PyLong_Check(fd.ptr()) || is_file_at(fd.cast<int>(), manifest)) return;
    // The entry was removed and unpacked again since: the lock on its old manifest guards
    // nothing, so it gives way to one on the manifest now in use.
    if (PyObject_DelItem(held.ptr(), dest.ptr()) != 0) throw py::error_already_set();
    ::close(fd.cast<int>());
  }
  if (fcntl.is(real_fcntl())) {
    UniqueFd fd = with_core_errors([&] { return take_shared_lock(manifest); });
    // A refused lock (a sweeper's probe at this instant) is not recorded: the next use retries.
    if (fd.valid()) held[dest] = fd.release();
    return;
  }
  UniqueFd fd;
  try {
    fd = with_core_errors([&] { return open_read_only(manifest); });
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return;
  }
  try {
    fcntl.attr("flock")(fd.get(), fcntl.attr("LOCK_SH") | fcntl.attr("LOCK_NB"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return;  // the descriptor closes here
  }
  held[dest] = fd.release();
}

/// The sweep that follows a hit or a publish, through the module attribute.
void sweep_after(py::object avatars, py::object dest) { global("_sweep")(avatars, dest); }

/// Whether an entry's manifest can be read as one: a regular file holding a JSON object. An entry
/// without such a manifest is broken (or a sweep is removing it) and counts as absent, so that it
/// is unpacked again rather than handed to an engine that cannot start from it.
bool manifest_readable(py::handle marker) {
  if (!is_regular_file(fs_bytes(marker))) return false;
  try {
    py::object raw;
    with_block(import_module("builtins").attr("open")(marker, "rb"), [&](py::object f) { raw = f.attr("read")(); });
    return PyDict_Check(import_module("json").attr("loads")(raw.attr("decode")("utf-8")).ptr());
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
    return false;
  }
}

/// The unpack directory {key}.tmp.{pid} is one per process: threads of this process that miss the
/// same entry take turns with it, or one would clear the other's work in progress and publish a
/// half-written member. The set of names is guarded by the interpreter lock; a child made by
/// fork unpacks under names of its own pid, so what the parent had taken never blocks it.
class UnpackTurn {
 public:
  explicit UnpackTurn(std::string tmp) : tmp_(std::move(tmp)) {
    while (!taken().insert(tmp_).second) {
      {
        py::gil_scoped_release unlocked;
        ::usleep(2000);
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }
  UnpackTurn(const UnpackTurn&) = delete;
  UnpackTurn& operator=(const UnpackTurn&) = delete;
  ~UnpackTurn() { taken().erase(tmp_); }

 private:
  static std::set<std::string>& taken() {
    static auto* names = new std::set<std::string>;  // never destroyed: threads may outlive exit
    return *names;
  }
  std::string tmp_;
};

/// Clears the way for a new unpack of an entry that is there without a readable manifest: it is
/// moved to the unpack directory (one rename, so a sweep removing it meanwhile is not raced
/// file by file) and removed. An entry published complete in the moment between the test and
/// the move goes back; if another took its place meanwhile, that one stays.
void set_aside_broken(py::handle marker, const std::string& dest_b, const std::string& tmp_b) {
  if (!is_symlink(dest_b) && !path_exists(dest_b)) return;
  if (manifest_readable(marker)) return;
  if (::rename(dest_b.c_str(), tmp_b.c_str()) != 0) return;  // gone already, or not ours to move
  if (manifest_readable(fs_str(join_path(tmp_b, "manifest.json")))) {
    if (::rename(tmp_b.c_str(), dest_b.c_str()) == 0) return;
  }
  remove_tree(tmp_b);
}

/// Whether a failed rename met a directory in its place (one not empty).
bool met_a_directory(py::handle os_error) {
  py::object e = os_error.attr("errno");
  return !e.is_none() && (e.cast<int>() == ENOTEMPTY || e.cast<int>() == EEXIST);
}

py::object materialise(py::object source) {
  py::object os = global("os");
  py::object path = os.attr("path");
  if (truthy(path.attr("isdir")(source))) return source;
  py::object st = os.attr("stat")(source);
  py::object avatars = path.attr("join")(global("_cache_root")(), "avatars");

  py::object key, key_error;
  try {
    key = global("_content_key")(source, st, avatars);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    key_error = e.value();
  }
  if (key_error) raise_refused("Failed", py::str(kPrepareFailed), key_error);

  py::object dest = path.attr("join")(avatars, key);
  py::object marker = path.attr("join")(dest, "manifest.json");
  if (manifest_readable(marker)) {
    global("_hold")(dest);
    if (!truthy(global("_SWEPT"))) {
      set_global("_SWEPT", py::bool_(true));
      sweep_after(avatars, dest);
    }
    return dest;
  }

  py::object unfold_imx = import_from("quorvane._offline", "unfold_imx");
  const std::string dest_b = fs_bytes(dest);
  const std::string tmp_b = dest_b + ".tmp." + std::to_string(::getpid());
  py::str tmp = fs_str(tmp_b);
  UnpackTurn turn(tmp_b);
  // Another thread of this process may have published the entry while this one waited.
  if (manifest_readable(marker)) {
    global("_hold")(dest);
    return dest;
  }

  enum class Outcome { kDone, kOsError, kOtherError };
  Outcome outcome = Outcome::kDone;
  py::object caught;
  // A rename that meets an entry being removed by a sweep fails; the second try finds it gone, or
  // sets its remains aside first.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool renaming = false;
    outcome = Outcome::kDone;
    try {
      remove_tree(tmp_b);
      set_aside_broken(marker, dest_b, tmp_b);
      with_core_errors([&] { make_dirs(tmp_b); });
      unfold_imx(source, tmp);
      // Only a complete bundle may become an entry: one published without its manifest would
      // never count as present.
      if (!is_regular_file(join_path(tmp_b, "manifest.json"))) {
        caught = py::reinterpret_borrow<py::object>(PyExc_ValueError)("the unpacked avatar has no manifest.json");
        outcome = Outcome::kOtherError;
      } else {
        renaming = true;
        with_core_errors([&] { rename_path(tmp_b, dest_b); });
      }
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) {
        // KeyboardInterrupt and the like leave unchanged, but not before the unpack directory.
        remove_tree(tmp_b);
        throw;
      }
      caught = e.value();
      outcome = e.matches(PyExc_OSError) ? Outcome::kOsError : Outcome::kOtherError;
    }
    if (outcome != Outcome::kOsError || !renaming || !met_a_directory(caught) || manifest_readable(marker)) break;
  }

  if (outcome == Outcome::kOsError) {
    remove_tree(tmp_b);
    // Another process published the same content first: its entry is as good as ours.
    if (manifest_readable(marker)) {
      global("_hold")(dest);
      return dest;
    }
    raise_refused("Failed", py::str(kPrepareFailed), caught);
  }
  if (outcome == Outcome::kOtherError) {
    remove_tree(tmp_b);
    raise_refused("InvalidAvatar", py::str(kNotUsable), caught);
  }
  global("_hold")(dest);
  set_global("_SWEPT", py::bool_(true));
  sweep_after(avatars, dest);
  return dest;
}

}  // namespace

void register_cache_materialise(py::module_& m) {
  m.def("_materialise", &materialise, py::arg("source"),
        "The unpacked bundle directory of an avatar: a directory given as source comes back "
        "unchanged; an avatar file is unpacked into the content-addressed cache the first time "
        "its content is seen, held with a shared lock for the life of the process.");
  m.def("_hold", &hold, py::arg("dest"),
        "Stamps the cache entry dest as used now and, once per entry, takes a shared lock on its "
        "manifest.json that lasts until the process ends (recorded in _HELD).");
}

}  // namespace quorvane::open::bind

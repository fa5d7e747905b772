// The cache root, the cap and content keys with their memo.
#include <fcntl.h>
#include <unistd.h>

#include "open/bind/cache_common.h"
#include "open/cache_cap.h"
#include "open/content_key.h"
#include "open/fs.h"

namespace quorvane::open::bind {

namespace {

constexpr const char* kDefaultRoot = "~/.cache/quorvane";

PyObject* g_content_key = nullptr;

/// A setting's value as an error names it: its repr.
py::str shown(py::handle value) { return py::repr(value); }

/// QUORVANE_CACHE_DIR, or None when it is unset or empty: an env file that leaves the setting
/// empty means what leaving it out means.
py::object cache_dir_value() {
  py::object value = global("os").attr("environ").attr("get")("QUORVANE_CACHE_DIR");
  return value.is_none() || !truthy(value) ? py::none() : value;
}

py::object cache_root() {
  py::object os = global("os");
  py::object value = cache_dir_value();
  if (value.is_none()) {
    py::object home = os.attr("environ").attr("get")("HOME");
    // The default lies under HOME: a HOME that is no absolute path is what is wrong.
    if (!home.is_none() && !truthy(os.attr("path").attr("isabs")(home))) {
      raise_refused("Failed",
                    py::str("HOME must be an absolute path, since the avatar cache is {} while QUORVANE_CACHE_DIR "
                            "is unset or empty; it is {}")
                        .format(kDefaultRoot, shown(home)),
                    home);
    }
    py::object root = os.attr("path").attr("expanduser")(py::str(kDefaultRoot));
    if (fs_bytes(root).front() == '~') {
      raise_refused("Failed",
                    py::str("HOME is not set and this user has no home directory in the user database, so the "
                            "avatar cache has no place ({} while QUORVANE_CACHE_DIR is unset or empty)")
                        .format(kDefaultRoot),
                    py::none());
    }
    return root;
  }
  py::object root = os.attr("path").attr("expanduser")(value);
  const std::string r = fs_bytes(root);
  if (!r.empty() && r.front() == '~') {
    raise_refused("Failed",
                  py::str("QUORVANE_CACHE_DIR names the home directory of a user this machine does not know: {}")
                      .format(shown(value)),
                  value);
  }
  // A relative root would put the cache, and the sweeps that clear it, in whatever directory the
  // program happens to run in.
  if (r.empty() || r.front() != '/') {
    raise_refused("Failed",
                  py::str("QUORVANE_CACHE_DIR must be an absolute path or begin with ~ (unset or empty means {}); "
                          "it is {}")
                      .format(kDefaultRoot, shown(value)),
                  value);
  }
  return root;
}

/// The text float() parses after it maps Unicode white space to " " and Unicode decimal digits to
/// ASCII ones; nullopt for a text holding any other character above U+007E, which float()
/// rejects.
std::optional<std::string> float_ascii(const py::str& text) {
  PyObject* s = text.ptr();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  std::string out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 127) {
      out.push_back(static_cast<char>(c));
    } else if (Py_UNICODE_ISSPACE(c)) {
      out.push_back(' ');
    } else if (int d = Py_UNICODE_TODECIMAL(c); d >= 0) {
      out.push_back(static_cast<char>('0' + d));
    } else {
      return std::nullopt;
    }
  }
  return out;
}

py::object cache_cap_bytes() {
  py::object raw = global("os").attr("environ").attr("get")("QUORVANE_AVATAR_CACHE_GB");
  std::optional<double> gb;
  if (raw.is_none() || (py::isinstance<py::str>(raw) && PyUnicode_GET_LENGTH(raw.ptr()) == 0)) {
    gb = as_float(global("_DEFAULT_CACHE_GB"));
  } else if (py::isinstance<py::str>(raw)) {
    if (std::optional<std::string> text = float_ascii(raw)) gb = cap_gb_of_text(*text);
  }
  if (!gb) {
    raise_refused("Failed",
                  py::str("QUORVANE_AVATAR_CACHE_GB must be a number of gigabytes, 0 or more (unset or empty "
                          "means 10); it is {}")
                      .format(shown(raw)),
                  raw);
  }
  return py::reinterpret_steal<py::object>(PyLong_FromDouble(cap_bytes_from_gb(*gb)));
}

/// A number of the status record written as an f-string writes it.
std::string decimal_of(py::handle st, const char* field) {
  py::object v = st.attr(field);
  py::object text = py::reinterpret_steal<py::object>(PyObject_Format(v.ptr(), nullptr));
  if (!text) throw py::error_already_set();
  return fs_bytes(text);
}

/// The memo's digits, or the hash `hash` makes, storing the memo then; without the interpreter
/// lock, but answering a signal as Python would: its handler runs, and an exception it raises
/// (KeyboardInterrupt) ends the hashing.
template <class Hash, class Unchanged>
std::string digits_for(const std::string& identity, const std::string& idx, const Hash& hash,
                       const Unchanged& unchanged) {
  std::string digits;
  with_core_errors([&] {
    py::gil_scoped_release unlocked;
    if (std::optional<std::string> known = read_memo(idx, identity)) {
      digits = std::move(*known);
      return;
    }
    digits = hash([] {
      py::gil_scoped_acquire locked;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    });
    // A file that changed while it was read may have been hashed half old, half new: such
    // digits name no content, and are never remembered for the identity it had.
    if (unchanged()) store_memo(idx, identity, digits, static_cast<long>(::getpid()));
  });
  return digits;
}

py::str content_key(py::object source, py::object st, py::object avatars) {
  const std::string src = fs_bytes(source);
  const std::string abs = with_core_errors([&] { return abs_path(src); });
  const std::string identity = identity_text(abs, decimal_of(st, "st_size"), decimal_of(st, "st_mtime_ns"),
                                             decimal_of(st, "st_ino"), decimal_of(st, "st_dev"),
                                             decimal_of(st, "st_ctime_ns"));
  const std::string idx = join_path(fs_bytes(avatars), kMemoDir);
  std::string digits = digits_for(
      identity, idx, [&](const std::function<void()>& on_signal) { return hash_file_digits(src, on_signal); },
      [] { return true; });
  return py::str(std::string(kKeyPrefix) + digits);
}

}  // namespace

py::handle original_content_key() { return g_content_key; }

RootSetting root_setting() {
  if (!cache_dir_value().is_none()) return {py::str("QUORVANE_CACHE_DIR"), std::nullopt};
  py::object os = global("os");
  py::object home = os.attr("environ").attr("get")("HOME");
  if (!home.is_none()) return {py::str("HOME"), fs_bytes(home)};
  py::object db_home = os.attr("path").attr("expanduser")("~");
  return {py::str("HOME (not set: the home directory {} of the user database)").format(db_home), fs_bytes(db_home)};
}

py::str content_key_of_open_file(const std::string& source, int fd, const struct stat& st, const std::string& avatars,
                                 bool& changed) {
  const std::string abs = with_core_errors([&] { return abs_path(source); });
  const std::string identity = identity_text(abs, st);
  changed = false;
  std::string digits = digits_for(
      identity, join_path(avatars, kMemoDir),
      [&](const std::function<void()>& on_signal) { return hash_fd_digits(fd, on_signal); },
      [&] {
        struct stat now {};
        changed = ::fstat(fd, &now) != 0 || !same_identity(now, st);
        return !changed;
      });
  return py::str(std::string(kKeyPrefix) + digits);
}

void register_cache_keys(py::module_& m) {
  m.def("_cache_root", &cache_root,
        "The cache root: QUORVANE_CACHE_DIR (unset or empty: \"~/.cache/quorvane\") with a leading "
        "tilde expanded; refused unless that gives an absolute path.");
  m.def("_cache_cap_bytes", &cache_cap_bytes,
        "The cache cap in bytes from QUORVANE_AVATAR_CACHE_GB (decimal gigabytes; unset or empty: "
        "_DEFAULT_CACHE_GB); refused unless it is a finite number, 0 or more.");
  m.def("_content_key", &content_key, py::arg("source"), py::arg("st"), py::arg("avatars"),
        "\"sha256-\" and the first 32 hex digits of the SHA-256 of the file's bytes, spared by a "
        "memo under avatars/.idx while the file's path, device, inode, size, mtime and ctime stay the same.");
  g_content_key = py::object(m.attr("_content_key")).release().ptr();  // kept for the life of the process
}

}  // namespace quorvane::open::bind

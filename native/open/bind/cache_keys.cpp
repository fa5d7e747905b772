// The cache root, the cap and content keys with their memo.
#include <unistd.h>

#include "open/bind/cache_common.h"
#include "open/cache_cap.h"
#include "open/content_key.h"
#include "open/fs.h"

namespace quorvane::open::bind {

namespace {

py::object cache_root() {
  py::object os = global("os");
  py::object value = os.attr("environ").attr("get")("QUORVANE_CACHE_DIR", "~/.cache/quorvane");
  return os.attr("path").attr("expanduser")(value);
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
  if (py::isinstance<py::str>(raw) && PyUnicode_GET_LENGTH(raw.ptr()) > 0) {
    if (std::optional<std::string> text = float_ascii(raw)) gb = parse_float_text(*text);
  }
  if (!gb) gb = as_float(global("_DEFAULT_CACHE_GB"));
  const double bytes = with_core_errors([&] { return cap_bytes_from_gb(*gb); });
  return py::reinterpret_steal<py::object>(PyLong_FromDouble(bytes));
}

/// A number of the status record written as an f-string writes it.
std::string decimal_of(py::handle st, const char* field) {
  py::object v = st.attr(field);
  py::object text = py::reinterpret_steal<py::object>(PyObject_Format(v.ptr(), nullptr));
  if (!text) throw py::error_already_set();
  return fs_bytes(text);
}

py::str content_key(py::object source, py::object st, py::object avatars) {
  const std::string src = fs_bytes(source);
  const std::string abs = with_core_errors([&] { return abs_path(src); });
  const std::string identity =
      identity_text(abs, decimal_of(st, "st_size"), decimal_of(st, "st_mtime_ns"), decimal_of(st, "st_ino"));
  const std::string idx = join_path(fs_bytes(avatars), kMemoDir);
  std::string digits;
  with_core_errors([&] {
    py::gil_scoped_release unlocked;
    const std::string memo_path = join_path(idx, memo_name(identity));
    if (std::optional<std::string> memo = read_memo(memo_path)) {
      digits = std::move(*memo);
      return;
    }
    // A signal during a long hash is honoured as Python would: its handler runs, and an exception
    // it raises (KeyboardInterrupt) ends the hashing.
    digits = hash_file_digits(src, [] {
      py::gil_scoped_acquire locked;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    });
    store_memo(idx, memo_path, digits, static_cast<long>(::getpid()));
  });
  return py::str(std::string(kKeyPrefix) + digits);
}

}  // namespace

void register_cache_keys(py::module_& m) {
  m.def("_cache_root", &cache_root,
        "The cache root: QUORVANE_CACHE_DIR (default \"~/.cache/quorvane\") with a leading tilde "
        "expanded.");
  m.def("_cache_cap_bytes", &cache_cap_bytes,
        "The cache cap in bytes from QUORVANE_AVATAR_CACHE_GB (decimal gigabytes, default "
        "_DEFAULT_CACHE_GB); raises for an infinite or not-a-number cap.");
  m.def("_content_key", &content_key, py::arg("source"), py::arg("st"), py::arg("avatars"),
        "\"sha256-\" and the first 32 hex digits of the SHA-256 of the file's bytes, spared by a "
        "memo under avatars/.idx while the file's path, size, mtime and inode stay the same.");
}

}  // namespace quorvane::open::bind

// Python names of bundle access, staging and the int8 variant choice. Paths cross as the bytes the
// file system sees (os.fsencode of os.fspath), so str, bytes and path objects all work and
// undecodable file names survive; paths and directory entries come back through os.fsdecode.
#include <climits>

#include "tensorhost/bind/common.h"
#include "tensorhost/bundle/bundle.h"
#include "tensorhost/bundle/q8gd.h"
#include "tensorhost/bundle/staging.h"

namespace quorvane::m2::bind {

namespace {

using nlohmann::json;

std::vector<std::string> names_arg(const py::handle& names) {
  // A lone name would otherwise be taken apart into one-character names.
  if (py::isinstance<py::str>(names) || py::isinstance<py::bytes>(names)) {
    throw py::type_error("names must be a sequence of member names, not a single name");
  }
  std::vector<std::string> out;
  for (auto item : py::iter(names)) out.push_back(fs_bytes(item));
  return out;
}

json to_json(const py::handle& v) {
  if (v.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>();
  if (py::isinstance<py::int_>(v)) {
    int overflow = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow == 0) return static_cast<int64_t>(s);
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(v.ptr());
      if (!(u == ULLONG_MAX && PyErr_Occurred())) return static_cast<uint64_t>(u);
      PyErr_Clear();
    }
    throw py::value_error("manifest integer out of the 64-bit range: " + py::repr(v).cast<std::string>());
  }
  if (py::isinstance<py::float_>(v)) return v.cast<double>();
  if (py::isinstance<py::str>(v)) return v.cast<std::string>();
  if (py::isinstance<py::dict>(v)) {
    json obj = json::object();
    for (auto kv : v.cast<py::dict>()) {
      if (!py::isinstance<py::str>(kv.first)) {
        throw py::type_error("manifest keys must be str, not " +
                             py::str(py::type::handle_of(kv.first).attr("__name__")).cast<std::string>());
      }
      obj[kv.first.cast<std::string>()] = to_json(kv.second);
    }
    return obj;
  }
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    json arr = json::array();
    for (auto item : v) arr.push_back(to_json(item));
    return arr;
  }
  throw py::type_error("manifest values must be JSON data, not " +
                       py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>());
}

py::object from_json(const json& j) {
  switch (j.type()) {
    case json::value_t::null: return py::none();
    case json::value_t::boolean: return py::bool_(j.get<bool>());
    case json::value_t::number_integer: return py::int_(j.get<int64_t>());
    case json::value_t::number_unsigned: return py::int_(j.get<uint64_t>());
    case json::value_t::number_float: return py::float_(j.get<double>());
    case json::value_t::string: return py::str(j.get_ref<const std::string&>());
    case json::value_t::array: {
      py::list out;
      for (const auto& item : j) out.append(from_json(item));
      return out;
    }
    case json::value_t::object: {
      py::dict out;
      for (auto it = j.begin(); it != j.end(); ++it) out[py::str(it.key())] = from_json(it.value());
      return out;
    }
    default: return py::none();
  }
}

// A borrowed read-only view of any bytes-like object, released on destruction.
class ByteView {
 public:
  explicit ByteView(const py::handle& obj) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  }
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;
  ~ByteView() { PyBuffer_Release(&view_); }
  std::string_view bytes() const { return {static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len)}; }

 private:
  Py_buffer view_{};
};

std::optional<std::string> installed_litert_version() {
  py::gil_scoped_acquire gil;
  try {
    py::object v = py::module_::import("importlib.metadata").attr("version")("ai-edge-litert");
    if (!py::isinstance<py::str>(v)) return std::nullopt;
    return v.cast<std::string>();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

void register_bundle(py::module_& m) {
  set_runtime_version_provider(&installed_litert_version);

  m.def(
      "_imx_toc",
      [](const py::object& path) -> py::object {
        std::string p = fs_bytes(path);
        std::optional<std::vector<TocEntry>> toc;
        {
          py::gil_scoped_release nogil;
          toc = imx_toc(p);
        }
        if (!toc) return py::none();
        py::list out;
        for (const auto& e : *toc) out.append(py::make_tuple(py::str(e.name), e.off, e.size));
        return out;
      },
      py::arg("path"),
      "The .imx container's table of contents as [(name, off, size), ...] in stored order, or None "
      "when the file is not a readable container.");

  m.def(
      "_member_bytes",
      [](const py::object& bundle, const py::object& names) -> py::tuple {
        std::string b = fs_bytes(bundle);
        std::vector<std::string> wanted = names_arg(names);
        std::optional<std::pair<std::string, std::string>> hit;
        {
          py::gil_scoped_release nogil;
          hit = member_bytes(b, wanted);
        }
        if (!hit) return py::make_tuple(py::none(), py::none());
        return py::make_tuple(fs_str(hit->first), py::bytes(hit->second));
      },
      py::arg("bundle"), py::arg("names"),
      "(name, bytes) of the first of `names` the bundle holds, or (None, None). OSError for file "
      "errors; RuntimeError for an archive that passes the zip test but cannot be read as one, or an "
      "entry whose data is damaged.");

  m.def(
      "_listing",
      [](const py::object& bundle) {
        std::string b = fs_bytes(bundle);
        std::vector<std::string> names;
        {
          py::gil_scoped_release nogil;
          names = listing(b);
        }
        py::list out;
        for (const auto& n : names) out.append(fs_str(n));
        return out;
      },
      py::arg("bundle"), "The bundle's member names: directory order, stored order or archive order.");

  m.def(
      "_stage_dir",
      []() -> py::object {
        std::optional<std::string> d;
        {
          py::gil_scoped_release nogil;
          d = stage_dir();
        }
        return d ? py::object(fs_str(*d)) : py::none();
      },
      "The directory MIRRANT2_STAGE_DIR names (created), or None for the default temp dir.");

  m.def(
      "_stage_tflite",
      [](const py::object& bundle, const py::object& nm, const py::object& data) {
        std::string b = fs_bytes(bundle);
        std::string name = fs_bytes(nm);
        ByteView view(data);
        std::string path;
        {
          py::gil_scoped_release nogil;
          path = stage_tflite(b, name, view.bytes());
        }
        return fs_str(path);
      },
      py::arg("bundle"), py::arg("nm"), py::arg("data"),
      "A file holding member `nm`: the directory bundle's own file, else a new staged copy of "
      "`data` recorded in _STAGED.");

  m.def(
      "int8_dot_isa",
      [](const py::object& cpuinfo) -> py::object {
        std::string p = fs_bytes(cpuinfo);
        auto isa = int8_dot_isa(p);
        return isa ? py::object(py::str(*isa)) : py::none();
      },
      py::arg("cpuinfo") = "/proc/cpuinfo",
      "The first of INT8_DOT_FLAGS the CPU information file lists, or None.");

  m.def(
      "_q8gd_bound",
      [](const py::object& manifest) {
        json mj = to_json(manifest);
        auto [want, why] = q8gd_bound(mj);
        return py::make_tuple(from_json(want), why);
      },
      py::arg("manifest"), "(declared sha256 or None, reason): whether the manifest binds the int8 variant.");

  m.def(
      "litert_runtime_version",
      []() -> py::object {
        auto v = litert_runtime_version();
        return v ? py::object(py::str(*v)) : py::none();
      },
      "The installed ai-edge-litert version, or None when it cannot be told.");

  m.def(
      "_q8gd_runtime_ok",
      [](const py::object& manifest, std::optional<std::string> running) {
        json mj = to_json(manifest);
        auto [ok, why] = q8gd_runtime_ok(mj, running);
        return py::make_tuple(ok, why);
      },
      py::arg("manifest"), py::arg("running"),
      "(admitted, reason): whether the variant's runtime gate admits the running version.");

  m.def(
      "_select_q8gd",
      [](const py::object& bundle, const py::object& cpuinfo) -> py::tuple {
        std::string b, c;
        try {
          b = fs_bytes(bundle);
          c = fs_bytes(cpuinfo);
        } catch (py::error_already_set& e) {
          // The choice never raises: a bad argument is one more fallback.
          std::string kind = py::str(e.type().attr("__name__"));
          std::string text = py::str(e.value());
          return py::make_tuple(py::none(), "[q8gd] FALLBACK: " + kind + ": " + text +
                                                " — serving combined_litert.tflite");
        }
        std::pair<std::optional<std::string>, std::string> choice;
        {
          py::gil_scoped_release nogil;
          choice = select_q8gd(b, c);
        }
        py::object path = choice.first ? py::object(fs_str(*choice.first)) : py::none();
        return py::make_tuple(path, choice.second);
      },
      py::arg("bundle"), py::arg("cpuinfo") = "/proc/cpuinfo",
      "(path of the int8 variant or None, log message); never raises.");
}

}  // namespace quorvane::m2::bind

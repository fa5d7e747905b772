// Python names of the colour correction: ColorCorrect, parse_color_correct, color_descriptor,
// _color_enabled, load_color_correct and the colour constants.
#include "tensorhost/bind/colour.h"

#include <cstring>

#include "tensorhost/bundle/colour_load.h"
#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/kernels/colour_parse.h"

namespace quorvane::m2::bind {

namespace {

using json = nlohmann::json;

// The Python-visible record: the five values exactly as given, and the core correction made from
// them once, at construction. The record is read-only, so the two never drift apart.
struct BoundColorCorrect {
  py::object kind, lut, gain, bias, source;
  std::shared_ptr<const ColorCorrect> core;
};

std::string text_or_empty(py::handle v) {
  return py::isinstance<py::str>(v) ? v.cast<std::string>() : std::string();
}

// A (3, 256) table of integers 0..255, in any integer dtype; nullopt for anything else.
std::optional<std::array<uint8_t, COLOR_TABLE_BYTES>> table_from_py(py::handle v) {
  if (v.is_none()) return std::nullopt;
  try {
    py::object a = numpy().attr("asarray")(v);
    std::string kind = a.attr("dtype").attr("kind").cast<std::string>();
    if (kind != "u" && kind != "i" && kind != "b") return std::nullopt;
    if (a.attr("shape").cast<std::vector<int64_t>>() != std::vector<int64_t>{3, 256})
      return std::nullopt;
    auto wide = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(a);
    if (!wide) return std::nullopt;
    std::array<uint8_t, COLOR_TABLE_BYTES> t{};
    for (size_t i = 0; i < COLOR_TABLE_BYTES; ++i) {
      int64_t x = wide.data()[i];
      if (x < 0 || x > 255) return std::nullopt;
      t[i] = static_cast<uint8_t>(x);
    }
    return t;
  } catch (py::error_already_set&) {
    return std::nullopt;
  }
}

// Three numbers rounded to float32; nullopt for anything else.
std::optional<std::array<float, 3>> triple_from_py(py::handle v) {
  if (v.is_none()) return std::nullopt;
  try {
    py::object np = numpy();
    py::object a = np.attr("asarray")(v, np.attr("float32"));
    if (a.attr("shape").cast<std::vector<int64_t>>() != std::vector<int64_t>{3})
      return std::nullopt;
    auto f = py::array_t<float, py::array::c_style>::ensure(a);
    if (!f) return std::nullopt;
    return std::array<float, 3>{f.data()[0], f.data()[1], f.data()[2]};
  } catch (py::error_already_set&) {
    return std::nullopt;
  }
}

std::shared_ptr<ColorCorrect> core_from_fields(py::handle kind, py::handle lut, py::handle gain,
                                               py::handle bias, py::handle source) {
  auto cc = std::make_shared<ColorCorrect>();
  cc->kind = text_or_empty(kind);
  cc->lut = table_from_py(lut);
  cc->gain = triple_from_py(gain);
  cc->bias = triple_from_py(bias);
  cc->source = text_or_empty(source);
  return cc;
}

template <class T>
py::object readonly_array(const T* data, std::vector<py::ssize_t> shape) {
  py::array_t<T> a(shape);
  std::memcpy(a.mutable_data(), data, static_cast<size_t>(a.size()) * sizeof(T));
  a.attr("setflags")(py::arg("write") = false);
  return a;
}

py::object wrap_core(const std::shared_ptr<const ColorCorrect>& cc) {
  if (!cc) return py::none();
  BoundColorCorrect b;
  b.kind = py::str(cc->kind);
  b.lut = cc->lut ? readonly_array(cc->lut->data(), {3, 256}) : py::none();
  b.gain = cc->gain ? readonly_array(cc->gain->data(), {3}) : py::none();
  b.bias = cc->bias ? readonly_array(cc->bias->data(), {3}) : py::none();
  b.source = py::str(cc->source);
  b.core = cc;
  return py::cast(std::move(b));
}

// A correction whose fields or `apply` come from Python: a subclass that overrides them, or any
// object offering `kind`, `lut` and `apply`.
class PyCorrect final : public ColorCorrect {
 public:
  PyCorrect(py::handle obj, bool custom)
      : keep_(hold_py(py::reinterpret_borrow<py::object>(obj))), obj_(obj.ptr()), custom_(custom) {
    if (!py::hasattr(obj, "kind"))
      throw TypeError("a colour correction needs a 'kind', got " +
                      std::string(py::str(py::type::handle_of(obj).attr("__name__"))));
    kind = text_or_empty(obj.attr("kind"));
    lut = table_from_py(py::getattr(obj, "lut", py::none()));
    gain = triple_from_py(py::getattr(obj, "gain", py::none()));
    bias = triple_from_py(py::getattr(obj, "bias", py::none()));
    source = text_or_empty(py::getattr(obj, "source", py::none()));
  }

  bool custom_apply() const override { return custom_; }

  py::object object() const { return py::reinterpret_borrow<py::object>(obj_); }

  ByteTensor apply(const ByteTensor& rgb) const override {
    if (!custom_) return ColorCorrect::apply(rgb);
    py::gil_scoped_acquire gil;
    std::vector<py::ssize_t> shape(rgb.shape.begin(), rgb.shape.end());
    py::array_t<uint8_t> in(shape);
    std::memcpy(in.mutable_data(), rgb.data, static_cast<size_t>(rgb.size()));
    py::object res = py::handle(obj_).attr("apply")(in);
    py::object a = numpy().attr("asarray")(res);
    std::string dt = py::str(a.attr("dtype"));
    if (dt != "uint8")
      throw TypeError("apply() of the colour correction returned " + dt + " values, not uint8");
    auto c = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(a);
    if (!c) throw py::error_already_set();
    if (c.size() != rgb.size())
      throw ValueError("apply() of the colour correction returned " + std::to_string(c.size()) +
                       " values for " + std::to_string(rgb.size()));
    ByteTensor out = ByteTensor::empty(rgb.shape);
    std::memcpy(out.data, c.data(), static_cast<size_t>(rgb.size()));
    return out;
  }

 private:
  std::shared_ptr<const void> keep_;
  PyObject* obj_;
  bool custom_;
};

// A decoded colour table may carry anything under keys the parser never reads, so the
// conversion never fails on a value: one that has no JSON form becomes an opaque value naming its
// type (which the parser refuses as "not a number" wherever it does read it), and nesting deeper
// than the parser ever looks is cut off (it refuses arrays nested more than 32 levels long
// before).
constexpr int kMaxPyDepth = 64;

json opaque(py::handle v) {
  std::string name = py::str(py::type::handle_of(v).attr("__name__"));
  return json::binary(json::binary_t::container_type(name.begin(), name.end()));
}

json py_to_json(py::handle v, int depth = 0) {
  if (depth > kMaxPyDepth) return opaque(v);
  if (v.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>();
  if (py::isinstance<py::int_>(v)) {
    int overflow = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow == 0) {
      if (s == -1 && PyErr_Occurred()) throw py::error_already_set();
      return static_cast<int64_t>(s);
    }
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(v.ptr());
      if (!PyErr_Occurred()) return static_cast<uint64_t>(u);
      PyErr_Clear();
    }
    // Beyond 64 bits: as JSON text of such an integer parses, a float (infinite when too large).
    double d = PyLong_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      d = overflow > 0 ? HUGE_VAL : -HUGE_VAL;
    }
    return d;
  }
  if (py::isinstance<py::float_>(v)) return v.cast<double>();
  if (py::isinstance<py::str>(v)) {
    // Text that has no UTF-8 form (a lone surrogate) is no JSON text either.
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(v.ptr(), &len);
    if (!utf8) {
      PyErr_Clear();
      return opaque(v);
    }
    return std::string(utf8, static_cast<size_t>(len));
  }
  if (py::isinstance<py::dict>(v)) {
    json obj = json::object();
    for (auto item : v.cast<py::dict>()) {
      if (!py::isinstance<py::str>(item.first)) {
        // Only the top level's keys are ever read (or listed); below it an object is refused
        // as a whole, so its keys do not matter.
        if (depth == 0)
          throw TypeError("colour table keys must be text, got " +
                          std::string(py::str(py::type::handle_of(item.first).attr("__name__"))));
        continue;
      }
      obj[item.first.cast<std::string>()] = py_to_json(item.second, depth + 1);
    }
    return obj;
  }
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    json arr = json::array();
    for (auto item : v) arr.push_back(py_to_json(item, depth + 1));
    return arr;
  }
  py::object np = numpy();
  if (py::isinstance(v, np.attr("ndarray"))) return py_to_json(v.attr("tolist")(), depth);
  if (py::isinstance(v, np.attr("generic"))) return py_to_json(v.attr("item")(), depth);
  return opaque(v);
}

py::tuple parsed(const ColorParse& p) {
  return py::make_tuple(color_correct_to_py(p.cc), p.message);
}

py::tuple parse_py(py::object raw, py::object source) {
  std::string src = py::str(source);
  if (raw.is_none()) return parsed(parse_color_correct(std::nullopt, src));
  if (py::isinstance<py::str>(raw)) {
    PyObject* b = PyUnicode_AsUTF8String(raw.ptr());
    if (!b) {
      py::error_already_set e;
      return py::make_tuple(py::none(), std::string(COLOR_MEMBER) +
                                            " is present but is not parsable json (" + e.what() +
                                            ") — refusing to invent an identity LUT");
    }
    auto bytes = py::reinterpret_steal<py::bytes>(b);
    return parsed(parse_color_correct(std::string(bytes), src));
  }
  if (PyObject_CheckBuffer(raw.ptr())) {
    py::bytes copy(py::module_::import("builtins").attr("bytes")(raw));
    return parsed(parse_color_correct(std::string(copy), src));
  }
  if (py::isinstance<py::dict>(raw)) return parsed(parse_color_correct_doc(py_to_json(raw), src));
  return py::make_tuple(py::none(),
                        std::string(COLOR_MEMBER) + " is present but is not a json object (got " +
                            std::string(py::str(py::type::handle_of(raw).attr("__name__"))) +
                            ")");
}

bool is_plain(py::handle obj) {
  py::handle base = py::type::of<BoundColorCorrect>();
  py::handle t = py::type::handle_of(obj);
  if (t.is(base)) return true;
  for (const char* name : {"apply", "kind", "lut", "gain", "bias"})
    if (!py::getattr(t, name, py::none()).is(py::getattr(base, name))) return false;
  return true;
}

}  // namespace

py::object color_correct_to_py(const std::shared_ptr<const ColorCorrect>& cc) {
  if (auto* adapted = dynamic_cast<const PyCorrect*>(cc.get())) return adapted->object();
  return wrap_core(cc);
}

std::shared_ptr<const ColorCorrect> color_correct_from_py(py::handle obj) {
  if (obj.is_none()) return nullptr;
  if (py::isinstance<BoundColorCorrect>(obj) && is_plain(obj))
    return obj.cast<BoundColorCorrect&>().core;
  bool custom = true;
  if (py::isinstance<BoundColorCorrect>(obj)) {
    custom = !py::getattr(py::type::handle_of(obj), "apply", py::none())
                  .is(py::getattr(py::type::of<BoundColorCorrect>(), "apply"));
  }
  return std::make_shared<PyCorrect>(obj, custom);
}

void register_colour(py::module_& m) {
  // COLOR_MEMBER, COLOR_ENV and COLOR_LOG_PREFIX are bound with the module's other constants.
  py::class_<BoundColorCorrect>(m, "ColorCorrect",
                                "A per-channel colour correction: kind 'lut' (a (3, 256) uint8 "
                                "table) or 'gain_bias' (float32 gains and biases of shape (3,)).")
      .def(py::init([](py::object kind, py::object lut, py::object gain, py::object bias,
                       py::object source) {
             BoundColorCorrect b{kind, lut, gain, bias, source, nullptr};
             b.core = core_from_fields(kind, lut, gain, bias, source);
             return b;
           }),
           py::arg("kind"), py::kw_only(), py::arg("lut") = py::none(),
           py::arg("gain") = py::none(), py::arg("bias") = py::none(), py::arg("source") = "")
      .def_property_readonly("kind", [](const BoundColorCorrect& b) { return b.kind; })
      .def_property_readonly("lut", [](const BoundColorCorrect& b) { return b.lut; })
      .def_property_readonly("gain", [](const BoundColorCorrect& b) { return b.gain; })
      .def_property_readonly("bias", [](const BoundColorCorrect& b) { return b.bias; })
      .def_property_readonly("source", [](const BoundColorCorrect& b) { return b.source; })
      .def(
          "apply",
          [](const BoundColorCorrect& b, py::object rgb) {
            py::object a = numpy().attr("asarray")(rgb);
            std::string dt = py::str(a.attr("dtype"));
            if (dt != "uint8")
              throw TypeError("apply() needs a uint8 array, got " + dt);
            auto c = py::array_t<uint8_t, py::array::c_style>::ensure(
                numpy().attr("ascontiguousarray")(a));
            if (!c) throw py::error_already_set();
            ByteTensor in;
            in.data = const_cast<uint8_t*>(c.data());
            in.shape.assign(c.shape(), c.shape() + c.ndim());
            in.owner = hold_py(c);
            ByteTensor out;
            {
              py::gil_scoped_release nogil;
              out = b.core->ColorCorrect::apply(in);
            }
            return to_numpy(out, false);
          },
          py::arg("rgb"), "A new uint8 array: `rgb` (last axis R, G, B) corrected.")
      .def("describe", [](const BoundColorCorrect& b) { return b.core->describe(); })
      .def("__repr__", [](const BoundColorCorrect& b) {
        return "ColorCorrect(kind=" + std::string(py::repr(b.kind)) +
               ", source=" + std::string(py::repr(b.source)) + ")";
      });

  m.def("parse_color_correct", &parse_py, py::arg("raw"), py::arg("source") = "",
        "(ColorCorrect or None, message) for a colour table given as bytes, text, a decoded "
        "object, or None when the bundle has none.");
  m.def(
      "color_descriptor",
      [](py::object cc) -> py::object {
        auto core = color_correct_from_py(cc);
        auto d = color_descriptor(core.get());
        if (!d) return py::none();
        py::dict out;
        out["kind"] = cc.attr("kind");
        out["sha256"] = d->sha256;
        return out;
      },
      py::arg("cc"));
  m.def(
      "_color_descriptor_json",
      [](py::object cc) { return color_descriptor_json(color_correct_from_py(cc).get()); },
      py::arg("cc"));
  m.def("_color_enabled", &color_enabled);
  m.def(
      "load_color_correct",
      [](py::object bundle) {
        std::string path = fs_bytes(bundle);
        ColorLoad r = load_color_correct(path);
        return py::make_tuple(color_correct_to_py(r.cc), r.report);
      },
      py::arg("bundle"));
}

}  // namespace quorvane::m2::bind

// Python names of the audio area: the sliding PCM buffer, the WSOLA tempo change and the decoder
// input rows.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tensorhost/bind/common.h"
#include "tensorhost/chain/decoder_rows.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/kernels/pcm_buffer.h"
#include "tensorhost/kernels/wsola.h"

namespace quorvane::m2::bind {

namespace {

// The value of a Python int or NumPy integer scalar; nullopt for every other type, booleans
// included. Values beyond 64 bits saturate, which keeps their sign and every comparison the
// callers make.
std::optional<int64_t> integer_arg(py::handle obj) {
  if (PyBool_Check(obj.ptr())) return std::nullopt;
  py::object as_int;
  if (PyLong_Check(obj.ptr())) {
    as_int = py::reinterpret_borrow<py::object>(obj);
  } else if (py::isinstance(obj, py::module_::import("numpy").attr("integer"))) {
    as_int = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!as_int) throw py::error_already_set();
  } else {
    return std::nullopt;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  if (overflow > 0) return std::numeric_limits<int64_t>::max();
  if (overflow < 0) return std::numeric_limits<int64_t>::min();
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<int64_t>(v);
}

// The converting constructors rather than ensure(): ensure() clears the conversion error, and
// the caller is owed NumPy's own message.

// np.asarray(obj): no copy when obj already is an array.
py::array as_any_array(py::handle obj) {
  return py::array(py::reinterpret_borrow<py::object>(obj));
}

// np.asarray(obj, dtype) without a layout requirement: no copy when obj already is such an array.
template <class T>
py::array_t<T> as_array(py::handle obj) {
  return py::array_t<T>(py::reinterpret_borrow<py::object>(obj));
}

// np.asarray(obj, dtype, order="C").
template <class T>
py::array_t<T, py::array::c_style | py::array::forcecast> as_contiguous(py::handle obj) {
  return py::array_t<T, py::array::c_style | py::array::forcecast>(
      py::reinterpret_borrow<py::object>(obj));
}

bool is_float32(const py::array& a) { return a.dtype().equal(py::dtype::of<float>()); }

// A latent as a contiguous float32 tensor that holds its array (no copy when it already is one).
FloatTensor latent_arg(py::handle obj) {
  auto a = as_contiguous<float>(obj);
  FloatTensor t;
  t.data = const_cast<float*>(a.data());
  t.shape.assign(a.shape(), a.shape() + a.ndim());
  t.writable = false;
  t.owner = hold_py(std::move(a));
  return t;
}

std::vector<py::ssize_t> shape_of(const py::array& a) {
  return std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim());
}

// Applies one of the element-wise grid conversions to any real array: float32 input is read as
// it is, every other dtype through float64, as the conversions read each sample as a double.
template <void (*F32)(const float*, int64_t, float*), void (*F64)(const double*, int64_t, float*)>
py::array_t<float> grid_map(py::handle obj) {
  py::array any = as_any_array(obj);
  py::array_t<float> out(shape_of(any));
  float* dst = out.mutable_data();
  if (is_float32(any)) {
    auto a = as_contiguous<float>(any);
    F32(a.data(), a.size(), dst);
  } else {
    auto a = as_contiguous<double>(any);
    F64(a.data(), a.size(), dst);
  }
  return out;
}

py::array_t<float> tempo_wsola_py(py::handle x, double factor) {
  py::array any = as_any_array(x);
  if (any.ndim() != 1 && any.size() != 0) throw ValueError("one-dimensional PCM required");
  FloatTensor result;
  if (is_float32(any)) {
    auto a = as_contiguous<float>(any);
    py::gil_scoped_release nogil;
    result = tempo_wsola(a.data(), a.size(), factor);
  } else {
    auto a = as_contiguous<double>(any);
    py::gil_scoped_release nogil;
    result = tempo_wsola(a.data(), a.size(), factor);
  }
  return to_numpy(result, false);
}

py::tuple build_dec_inputs_py(py::handle lats, int64_t blk, py::handle prev_lat) {
  if (blk < 0) throw ValueError("blk must be nonnegative, got " + std::to_string(blk));
  const auto n_given = static_cast<int64_t>(py::len(lats));
  if (n_given < blk) {
    throw ValueError("build_dec_inputs needs " + std::to_string(blk) + " latents, got " +
                     std::to_string(n_given));
  }
  std::vector<FloatTensor> used;
  used.reserve(static_cast<size_t>(blk));
  for (int64_t i = 0; i < blk; ++i) {
    py::object item = lats[py::int_(i)];
    used.push_back(latent_arg(item));
  }
  std::optional<FloatTensor> prev;
  if (!prev_lat.is_none() && blk > 0) prev = latent_arg(prev_lat);
  std::pair<FloatTensor, int64_t> built;
  {
    py::gil_scoped_release nogil;
    built = build_dec_inputs(used, blk, prev ? &*prev : nullptr);
  }
  return py::make_tuple(to_numpy(built.first, false), built.second);
}

void register_sliding_pcm(py::module_& m) {
  py::class_<SlidingPCM, std::shared_ptr<SlidingPCM>>(m, "_SlidingPCM",
                         "Append-only float32 sample stream of which only a live suffix is kept.")
      .def(py::init([](py::handle minimum_capacity) {
             auto v = integer_arg(minimum_capacity);
             if (!v || *v <= 0) throw ValueError("positive capacity required");
             return SlidingPCM(*v);
           }),
           py::arg("minimum_capacity") = SlidingPCM::DEFAULT_MINIMUM_CAPACITY)
      .def("append", &append_pcm, py::arg("pcm"))
      .def(
          "discard_before",
          [](SlidingPCM& self, py::handle absolute_sample) {
            auto v = integer_arg(absolute_sample);
            if (!v || *v < 0) throw ValueError("nonnegative absolute sample offset required");
            self.discard_before(*v);
          },
          py::arg("absolute_sample"))
      .def("_allocate", &SlidingPCM::allocate, py::arg("capacity"))
      .def("counters",
           [](const SlidingPCM& self) {
             py::dict d;
             d["live_samples"] = self.live_samples();
             d["backing_bytes"] = self.capacity() * 4;
             d["peak_backing_bytes"] = self.peak_capacity() * 4;
             d["input_samples_copied"] = self.appended_samples();
             d["retained_samples_moved"] = self.moved_samples();
             d["aliased_samples_snapshotted"] = self.aliased_samples_snapshotted();
             d["allocations"] = self.allocations();
             d["absolute_base"] = self.base();
             d["absolute_fed"] = self.fed();
             return d;
           })
      .def_property_readonly("live",
                             [](const SlidingPCM& self) { return to_numpy(self.live(), true); })
      .def_property_readonly("storage",
                             [](const SlidingPCM& self) { return to_numpy(self.storage(), true); })
      .def_property_readonly("capacity", &SlidingPCM::capacity)
      .def_property_readonly("minimum_capacity", &SlidingPCM::minimum_capacity)
      .def_property_readonly("start", &SlidingPCM::start)
      .def_property_readonly("end", &SlidingPCM::end)
      .def_property_readonly("base", &SlidingPCM::base)
      .def_property_readonly("fed", &SlidingPCM::fed)
      .def_property_readonly("appended_samples", &SlidingPCM::appended_samples)
      .def_property_readonly("moved_samples", &SlidingPCM::moved_samples)
      .def_property_readonly("allocations", &SlidingPCM::allocations)
      .def_property_readonly("aliased_samples_snapshotted",
                             &SlidingPCM::aliased_samples_snapshotted)
      .def_property_readonly("peak_capacity", &SlidingPCM::peak_capacity);
}

}  // namespace

void append_pcm(SlidingPCM& pcm, py::handle samples) {
  auto a = as_array<float>(samples);
  if (a.size() == 0) return;
  if (a.ndim() != 1) throw ValueError("one-dimensional PCM required");
  // Raw bytes: the array may be strided, reversed or unaligned.
  const void* raw = static_cast<const py::array&>(a).data();
  const auto* first = static_cast<const std::byte*>(raw);
  pcm.append_strided(first, a.shape(0), a.strides(0));
}

void register_audio(py::module_& m) {
  register_sliding_pcm(m);
  m.def("tempo_wsola", &tempo_wsola_py, py::arg("x"), py::arg("factor") = 1.25,
        "Tempo change by WSOLA: a new float32 array of floor(len(x) / factor + 0.5) samples.");
  m.def("_wsola_to_buf", &grid_map<wsola_to_buf, wsola_to_buf>, py::arg("d"),
        "PCM samples onto the 24-bit grid (float32, same shape).");
  m.def("_wsola_from_buf", &grid_map<wsola_from_buf, wsola_from_buf>, py::arg("v"),
        "Grid values back to float32 PCM in [-1, 1] (same shape).");
  m.def("build_dec_inputs", &build_dec_inputs_py, py::arg("lats"), py::arg("blk"),
        py::arg("prev_lat") = py::none(),
        "Decoder input rows of one chunk: (xs float32 (n, 36, 90, 52), n).");
}

}  // namespace quorvane::m2::bind

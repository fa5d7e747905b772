// AsyncAvatar's audio input: `push_audio`, `push` and `flush` each put one control on the input
// queue, and `push_audio` and `flush` keep the arrival clock that the mirrant-2 playout clock
// reads; `push_audio` refuses, at the call, audio that is not int16 mono and rates outside real
// audio's (1 kHz to 768 kHz). Also the two module functions that bring a control's audio to 16 kHz float32:
// `_i16_to_f32` and `_resample_linear`.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "avatar/bind/producer_parts.h"
#include "avatar/bind/support.h"
#include "avatar/pcm_convert.h"
#include "avatar/resample.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind {

namespace {

constexpr const char* kPcmExpected =
    "expected int16 mono PCM: bytes-like 16-bit little-endian samples, or a 1-D int16 array";

[[noreturn]] void refuse(PyObject* cls, const std::string& got) {
  pb::raise_new(cls, py::make_tuple("push_audio: got " + got + "; " + kPcmExpected));
}

// "a float32 array", "an int32 array".
std::string with_article(const std::string& noun) {
  const bool vowel = !noun.empty() && std::string("aeiou").find(noun[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + noun;
}

bool is_int16_format(const char* fmt) {
  const std::string f = fmt == nullptr ? "B" : fmt;
  return f == "h" || f == "<h" || f == "=h" || f == "@h";
}

bool is_byte_format(const char* fmt) {
  const std::string f = fmt == nullptr ? "B" : fmt;
  return f == "B" || f == "b" || f == "c";
}

// The bytes of anything else would be taken for samples: a float32 array plays as loud noise twice
// as long, stereo at half speed. So what is not int16 mono is refused here, before it is queued.
// A single number is no audio either: a NumPy scalar offers a buffer of one sample, but the
// records take bytes(data), which reads a number as a length (of silence) and refuses a negative
// one. Returns the audio's size in bytes.
Py_ssize_t checked_pcm_bytes(py::handle data) {
  if (py::isinstance<py::array>(data)) {
    py::array arr = py::reinterpret_borrow<py::array>(data);
    const std::string dtype = py::str(arr.attr("dtype"));
    if (arr.ndim() == 0) refuse(PyExc_TypeError, "a 0-d " + dtype + " array (a single number)");
    if (!equal(arr.attr("dtype"), global("np").attr("int16"))) refuse(PyExc_TypeError, with_article(dtype + " array"));
    if (arr.ndim() != 1) {
      refuse(PyExc_ValueError, "an int16 array of shape " + std::string(py::str(arr.attr("shape"))));
    }
    return arr.nbytes();
  }
  if (!PyObject_CheckBuffer(data.ptr())) refuse(PyExc_TypeError, with_article(type_name(data)));
  py::object view = owned(PyMemoryView_FromObject(data.ptr()));
  const Py_buffer* buf = PyMemoryView_GET_BUFFER(view.ptr());
  if (buf->ndim == 0) refuse(PyExc_TypeError, with_article(type_name(data)) + ", 0-d (a single number)");
  const bool samples = buf->itemsize == 2 && is_int16_format(buf->format);
  if (!samples && !(buf->itemsize == 1 && is_byte_format(buf->format))) {
    refuse(PyExc_TypeError, with_article(type_name(data)) + " of format '" + std::string(buf->format ? buf->format : "B") + "'");
  }
  if (buf->ndim > 1) refuse(PyExc_ValueError, with_article(type_name(data)) + " of " + std::to_string(buf->ndim) + " dimensions");
  return buf->len;
}

// The rates real audio comes at. A rate of 0, None or NaN would fail only later, in the producer,
// and end run(); a negative one would drop the audio without a word; a tiny positive one makes
// the resampler ask for terabytes, a huge one drop nearly every sample.
constexpr double kMinRateHz = 1000.0;
constexpr double kMaxRateHz = 768000.0;

void check_rate(py::handle rate) {
  bool ok = false;
  const bool number = PyLong_Check(rate.ptr()) || PyFloat_Check(rate.ptr()) ||
                      is_instance(rate, import_from("numbers", "Real"));
  if (number && !PyBool_Check(rate.ptr())) {
    const double hz = PyFloat_AsDouble(rate.ptr());
    if (hz == -1.0 && PyErr_Occurred()) PyErr_Clear();  // past a double's range: not a rate
    else ok = hz >= kMinRateHz && hz <= kMaxRateHz;  // false for NaN
  }
  if (!ok) {
    pb::raise_new(PyExc_ValueError,
                  py::make_tuple("push_audio: sample_rate must be a number of Hz from 1000 to 768000; got " +
                                 std::string(py::repr(rate))));
  }
}

pb::Coroutine push_audio(py::object self, py::object data, py::object sample_rate, py::object last_chunk) {
  // The bytes of a buffer count, not its len(): an agent framework's frames hand over typed
  // buffers (an int16 memoryview, an array) whose len() counts samples.
  const Py_ssize_t n = checked_pcm_bytes(data);
  check_rate(sample_rate);
  py::object control = global("VideoControl").attr("from_audio")(data, sample_rate, last_chunk);
  // bytes / 2 / sample_rate: the seconds in the audio, in Python's own arithmetic.
  py::object half = owned(PyNumber_TrueDivide(py::int_(n).ptr(), py::int_(2).ptr()));
  py::object seconds = owned(PyNumber_TrueDivide(half.ptr(), sample_rate.ptr()));
  self.attr("_note_arrival")(seconds);
  if (truthy(last_chunk)) self.attr("_arrival_ended")();
  co_await pb::awaited([&] { return put_unless_stopped(self, self.attr("_in_queue"), control); });
  co_return py::none();
}

pb::Coroutine push(py::object self, py::object control) {
  co_await pb::awaited([&] { return put_unless_stopped(self, self.attr("_in_queue"), control); });
  co_return py::none();
}

pb::Coroutine flush(py::object self) {
  self.attr("_arrival_ended")();
  py::dict kw;
  kw["end_of_speech"] = true;
  co_await pb::awaited([&] { return put_unless_stopped(self, self.attr("_in_queue"), global("VideoControl")(**kw)); });
  co_return py::none();
}

void note_arrival(py::object self, py::object seconds) {
  if (getattr_or(self, "_arr_t0", py::none()).is_none() || truthy(getattr_or(self, "_arr_done", py::bool_(false)))) {
    self.attr("_arr_t0") = monotonic_obj();
    self.attr("_arr_s") = 0.0;
    self.attr("_arr_done") = false;
  }
  // max(0.0, seconds) keeps 0.0 unless seconds is greater, as the builtin does.
  py::float_ zero(0.0);
  const int gt = PyObject_RichCompareBool(seconds.ptr(), zero.ptr(), Py_GT);
  if (gt < 0) throw py::error_already_set();
  py::object add = gt == 1 ? seconds : py::object(zero);
  self.attr("_arr_s") = owned(PyNumber_InPlaceAdd(py::object(self.attr("_arr_s")).ptr(), add.ptr()));
}

void arrival_ended(py::object self) {
  if (!truthy(getattr_or(self, "_arr_done", py::bool_(false)))) {
    self.attr("_arr_t_end") = monotonic_obj();
    self.attr("_arr_done") = true;
  }
}

void arrival_dropped(py::object self) {
  self.attr("_arr_t0") = py::none();
  self.attr("_arr_s") = 0.0;
  self.attr("_arr_done") = false;
}

bool is_array_of(py::handle arr, py::handle np, const char* dtype) {
  if (!py::isinstance<py::array>(arr)) return false;
  return equal(arr.attr("dtype"), np.attr(dtype));
}

// arr.astype(np.float32) / INT16_MAX
py::object i16_to_f32(py::object arr) {
  py::object np = global("np");
  float scale = 0.0f;
  if (is_array_of(arr, np, "int16") && int16_scale(scale)) {
    py::array src = py::reinterpret_borrow<py::array>(arr);
    if (src.flags() & py::array::c_style) {
      py::array_t<std::int16_t, py::array::c_style> in = py::reinterpret_borrow<py::array_t<std::int16_t, py::array::c_style>>(src);
      std::vector<py::ssize_t> shape(in.shape(), in.shape() + in.ndim());
      py::array_t<float> out(shape);
      int16_to_float(in.data(), static_cast<std::size_t>(in.size()), scale, out.mutable_data());
      return out;
    }
  }
  py::object f = arr.attr("astype")(np.attr("float32"));
  return owned(PyNumber_TrueDivide(f.ptr(), global("INT16_MAX").ptr()));
}

// The samples on the output grid, in NumPy's own calls, for what the native resampler does not
// take (other dtypes and shapes).
py::object resample_with_numpy(py::handle np, py::handle pcm, py::handle n_out) {
  py::object f64 = np.attr("float64");
  py::object linspace = np.attr("linspace");
  py::object x_in = linspace(0.0, 1.0, py::arg("num") = pcm.attr("size"), py::arg("endpoint") = false, py::arg("dtype") = f64);
  py::object x_out = linspace(0.0, 1.0, py::arg("num") = n_out, py::arg("endpoint") = false, py::arg("dtype") = f64);
  py::object y = np.attr("interp")(x_out, x_in, pcm);
  return y.attr("astype")(pcm.attr("dtype"), py::arg("copy") = false);
}

template <class T>
py::object resample_native(py::handle np, py::handle pcm, std::size_t n_out) {
  auto in = py::reinterpret_steal<py::array_t<T, py::array::c_style>>(
      np.attr("ascontiguousarray")(pcm).release());
  py::array_t<T> out(static_cast<py::ssize_t>(n_out));
  {
    const T* src = in.data();
    T* dst = out.mutable_data();
    const auto n_in = static_cast<std::size_t>(in.size());
    py::gil_scoped_release unlocked;
    resample_linear(src, n_in, dst, n_out);
  }
  return out;
}

py::object resample(py::object pcm, py::object src_sr, py::object dst_sr) {
  if (equal(src_sr, dst_sr)) return pcm;
  const std::int64_t size = array_size(pcm);
  if (size == 0) return pcm;
  // int(round(pcm.size * dst_sr / src_sr)): Python's true division and round-half-even.
  py::object product = owned(PyNumber_Multiply(py::int_(size).ptr(), dst_sr.ptr()));
  py::object ratio = owned(PyNumber_TrueDivide(product.ptr(), src_sr.ptr()));
  py::object builtins = py::module_::import("builtins");
  py::object n_out_obj = builtins.attr("int")(builtins.attr("round")(ratio));
  const std::int64_t n_out = as_int(n_out_obj);
  py::object np = global("np");
  if (n_out <= 0) return np.attr("zeros")(0, py::arg("dtype") = pcm.attr("dtype"));
  if (py::isinstance<py::array>(pcm) && as_int(pcm.attr("ndim")) == 1) {
    if (is_array_of(pcm, np, "float32")) return resample_native<float>(np, pcm, static_cast<std::size_t>(n_out));
    if (is_array_of(pcm, np, "float64")) return resample_native<double>(np, pcm, static_cast<std::size_t>(n_out));
  }
  return resample_with_numpy(np, pcm, n_out_obj);
}

}  // namespace

void register_audio_input(py::module_& m, py::object cls) {
  pb::def_coroutine_method(m, cls, "push_audio", "self, data, sample_rate, last_chunk=True", &push_audio);
  pb::def_coroutine_method(m, cls, "push", "self, control", &push);
  pb::def_coroutine_method(m, cls, "flush", "self", &flush);
  pb::def_method(cls, "_note_arrival", &note_arrival, py::arg("seconds"));
  pb::def_method(cls, "_arrival_ended", &arrival_ended);
  pb::def_method(cls, "_arrival_dropped", &arrival_dropped);
  m.def("_i16_to_f32", &i16_to_f32, py::arg("arr"), "int16 samples to float32: arr.astype(np.float32) / INT16_MAX.");
  m.def("_resample_linear", &resample, py::arg("pcm"), py::arg("src_sr"), py::arg("dst_sr"),
        "Linear resampling of a 1-D array from src_sr to dst_sr Hz; the same object when the rates are equal.");
}

}  // namespace quorvane::avatar::bind

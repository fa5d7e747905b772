#include "tensorhost/bind/pyrenderer.h"

namespace quorvane::m2::bind {

namespace {

// A Py_buffer held for as long as a frame pair needs its bytes.
struct HeldBuffer {
  Py_buffer view{};
  ~HeldBuffer() {
    py::gil_scoped_acquire gil;
    PyBuffer_Release(&view);
  }
};

FramePair pair_from_py(const py::handle& item) {
  auto tup = py::reinterpret_borrow<py::sequence>(item);
  if (tup.size() != 2) throw py::value_error("a frame pair is (index, rgb bytes)");
  FramePair f;
  f.index = tup[0].cast<int64_t>();
  py::object rgb = tup[1];
  auto held = std::make_shared<HeldBuffer>();
  if (PyObject_GetBuffer(rgb.ptr(), &held->view, PyBUF_C_CONTIGUOUS) != 0) {
    // A strided buffer is written in its logical order, as bytes(memoryview(rgb)) reads it.
    PyErr_Clear();
    rgb = py::module_::import("builtins").attr("memoryview")(rgb).attr("tobytes")();
    if (PyObject_GetBuffer(rgb.ptr(), &held->view, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
  }
  f.rgb = static_cast<const uint8_t*>(held->view.buf);
  f.n_bytes = static_cast<size_t>(held->view.len);
  f.owner = held;
  return f;
}

}  // namespace

std::vector<FramePair> frames_from_py(const py::handle& seq) {
  std::vector<FramePair> out;
  for (auto item : py::iter(seq)) out.push_back(pair_from_py(item));
  return out;
}

py::list frames_to_py(const std::vector<FramePair>& frames) {
  py::list out;
  for (const auto& f : frames) {
    ByteTensor t;
    t.owner = f.owner;
    t.data = const_cast<uint8_t*>(f.rgb);
    t.shape = {static_cast<int64_t>(f.n_bytes)};
    t.writable = false;
    out.append(py::make_tuple(f.index, to_numpy(t, true)));
  }
  return out;
}

std::string color_json_of(py::module_ m, const py::object& cc) {
  if (cc.is_none()) return "null";
  py::object desc = m.attr("color_descriptor")(cc);
  if (desc.is_none()) return "null";
  py::object dumps = py::module_::import("json").attr("dumps");
  return dumps(desc, py::arg("separators") = py::make_tuple(",", ":")).cast<std::string>();
}

std::string PyServedRenderer::color_json() {
  py::gil_scoped_acquire gil;
  return color_json_of(m_, py::getattr(r_, "cc", py::none()));
}

void PyServedRenderer::feed(const FloatTensor& pcm) {
  py::gil_scoped_acquire gil;
  r_.attr("feed")(to_numpy(pcm, false));
}

std::vector<FramePair> PyServedRenderer::ready_chunks() {
  py::gil_scoped_acquire gil;
  return frames_from_py(r_.attr("ready_chunks")());
}

std::vector<FramePair> PyServedRenderer::flush_chunks() {
  py::gil_scoped_acquire gil;
  return frames_from_py(r_.attr("flush_chunks")());
}

void PyServedRenderer::reset() {
  py::gil_scoped_acquire gil;
  r_.attr("reset")();
}

std::optional<double> PyServedRenderer::rtf() {
  py::gil_scoped_acquire gil;
  py::object v = r_.attr("rtf")();
  if (v.is_none()) return std::nullopt;
  return v.cast<double>();
}

int64_t PyServedRenderer::c_n() {
  py::gil_scoped_acquire gil;
  return r_.attr("_c_n").cast<int64_t>();
}

double PyServedRenderer::c_wall() {
  py::gil_scoped_acquire gil;
  return r_.attr("_c_wall").cast<double>();
}

}  // namespace quorvane::m2::bind

// Python names of the fixture engine: a corvine-1 fixture of quorvane._core and one runtime over
// it, fed with the render's PCM chunks as float samples and pulled for every ready frame.
#include <pybind11/numpy.h>

#include <cstdint>
#include <string>

#include "open/bind/api.h"
#include "open/bind/common.h"
#include "open/pcm.h"
#include "pybridge/pyclass.h"

namespace quorvane::open::bind {

namespace {

void fixture_init(py::object self, py::object source) {
  py::object core = import_module("quorvane._core");
  py::object mixin = import_from("quorvane._loader", "NativeFixtureLoaderMixin");
  py::object corvine1 = import_from("quorvane._threads", "CORVINE1");
  py::object default_threads = import_from("quorvane._threads", "default_threads");
  // The audio encoder must be registered before any fixture is built.
  mixin.attr("_register_default_audio_encoder")();
  py::object threads = default_threads(corvine1);
  py::object err;
  try {
    py::object fixture = core.attr("Fixture");
    py::dict kwargs;
    kwargs["preferred_ep"] = core.attr("EP_AUTO");
    kwargs["intra_op_threads"] = threads;
    self.attr("_fx") = fixture(source, **kwargs);
  } catch (...) {
    err = caught_exception();
    if (!is_exception(err)) throw;
  }
  if (err) {
    raise_context_suppressed(refuse("InvalidAvatar", py::str("that is not a usable avatar"), err), err);
  }
  self.attr("_rt") = core.attr("Runtime")(self.attr("_fx"));
}

// The samples of `chunk` after the byte `carry` holds, if any, as one new float32 array (each
// int16 divided by 32768). A render's chunks are one stream of samples: a sample split between
// two chunks is one sample, so a last odd byte waits in `carry` for the next chunk (and one left
// at the end of the stream is dropped, as every engine drops it).
py::array_t<float> chunk_samples(py::handle chunk, std::string& carry) {
  struct View {
    Py_buffer buf;
    explicit View(py::handle obj) {
      if (PyObject_GetBuffer(obj.ptr(), &buf, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() { PyBuffer_Release(&buf); }
  } view(chunk);
  std::size_t rest = static_cast<std::size_t>(view.buf.len);
  const std::size_t total = carry.size() + rest;
  py::array_t<float> samples(static_cast<py::ssize_t>(total / 2));
  float* out = samples.mutable_data();
  auto in = static_cast<const unsigned char*>(view.buf.buf);
  if (!carry.empty() && rest > 0) {
    const unsigned char joined[2] = {static_cast<unsigned char>(carry[0]), in[0]};
    s16le_to_float(joined, 1, out++);
    ++in;
    --rest;
    carry.clear();
  }
  s16le_to_float(in, rest / 2, out);
  carry.append(reinterpret_cast<const char*>(in) + (rest - rest % 2), rest % 2);
  return samples;
}

// The runtime's picture with its channel axis reversed, as a new C-contiguous array.
py::object rgb_frame(py::handle np, py::handle out) {
  py::object image = PyTuple_Check(out.ptr()) ? py::object(out[py::int_(1)])
                                              : py::reinterpret_borrow<py::object>(out);
  py::slice all{py::none(), py::none(), py::none()};
  py::slice reversed{py::none(), py::none(), py::int_(-1)};
  py::object flipped = image[py::make_tuple(all, all, reversed)];
  return np.attr("ascontiguousarray")(flipped);
}

// _FixtureEngine.frames(chunks): for each chunk, push its samples and pull every ready frame.
pb::Generator fixture_frames(py::object self, py::object chunks) {
  py::object np = import_module("numpy");
  py::object rt = self.attr("_rt");  // kept to the end, even past close()
  // Each render starts a stream of its own: what an earlier one left in the runtime (the part of
  // a tick its audio ended in, ticks its schedule had not released) would otherwise open this
  // one, and the same audio would give other frames, or another count, after other speech.
  rt.attr("reset_stream")();
  py::object it = iter_of(chunks);
  py::int_ zero(0);
  std::string carry;
  while (py::object chunk = next_of(it)) {
    if (!truthy(chunk)) continue;
    py::array_t<float> samples = chunk_samples(chunk, carry);
    if (samples.size() == 0) continue;  // half a sample: it waits for the next chunk
    rt.attr("push_audio")(samples);
    // Asked afresh before every pull: frames that become ready meanwhile go out before the next
    // chunk is taken.
    while (py::object(rt.attr("ticks_available")()) > zero) {
      py::object out = rt.attr("pull_frame")();
      co_yield rgb_frame(np, out);
    }
  }
}

void fixture_interrupt(py::object self) {
  try {
    self.attr("_rt").attr("reset_stream")();
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
}

void fixture_close(py::object self) {
  self.attr("_rt") = py::none();
  self.attr("_fx") = py::none();
}

// _corvine1_runtime_present() -> bool
bool corvine1_runtime_present() {
  py::object core;
  try {
    core = import_module("quorvane._core");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    return true;  // the missing module surfaces when an engine is built
  }
  return !truthy(py::getattr(core, "ENGINE_ONLY", py::bool_(false)));
}

}  // namespace

void register_fixture_engine(py::module_& m) {
  py::object cls = pb::make_class(kModule, "_FixtureEngine", py::tuple(), py::dict());
  pb::def_method(cls, "__init__", &fixture_init, py::arg("source"));
  pb::def_method(cls, "frames", &fixture_frames, py::arg("chunks"));
  pb::def_method(cls, "interrupt", &fixture_interrupt);
  pb::def_method(cls, "close", &fixture_close);
  m.attr("_FixtureEngine") = cls;
  m.def("_corvine1_runtime_present", &corvine1_runtime_present);
}

}  // namespace quorvane::open::bind

// Python names of the fixture engine: a corvine-1 fixture of quorvane._core and one runtime over
// it, fed with the render's PCM chunks as float samples and pulled for every ready frame.
#include <pybind11/numpy.h>

#include <cstdint>

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

// np.frombuffer(chunk, dtype=np.int16).astype(np.float32) / 32768.0, as one new array.
py::array_t<float> chunk_samples(py::handle np, py::handle chunk) {
  py::array_t<std::int16_t> pcm = np.attr("frombuffer")(chunk, py::arg("dtype") = np.attr("int16"));
  const auto n = static_cast<std::size_t>(pcm.size());
  py::array_t<float> samples(static_cast<py::ssize_t>(n));
  int16_to_float(pcm.data(), n, samples.mutable_data());
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
  while (py::object chunk = next_of(it)) {
    if (!truthy(chunk)) continue;
    rt.attr("push_audio")(chunk_samples(np, chunk));
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

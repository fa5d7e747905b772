// What a host needs to know before the first frame arrives: the first picture (for resolution
// detection), the frame size, the sample rate, the frame rate and the samples per tick.
#include "avatar/bind/support.h"
#include "avatar/bind/output_parts.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind::out {

namespace {

bool compare(py::handle a, py::handle b, int op) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object builtin_int(py::handle v) { return py::module_::import("builtins").attr("int")(v); }

py::object blank_picture(py::handle h, py::handle w) {
  py::object np = global("np");
  return np.attr("zeros")(py::make_tuple(h, w, 3), py::arg("dtype") = np.attr("uint8"));
}

// Polls the runtime for its resting picture until one comes or `timeout_s` has passed; the first
// poll always happens, and the deadline is tested after each poll.
py::object wait_source_frame(py::object self, py::object timeout_s) {
  py::object zero = py::float_(0.0);
  py::object wait = compare(timeout_s, zero, Py_GT) ? timeout_s : zero;
  py::object deadline = monotonic_obj() + wait;
  py::object why = py::none();
  for (;;) {
    py::object frame = py::none();
    bool failed = false;
    try {
      frame = self.attr("_runtime").attr("get_source_frame")(0);
    } catch (...) {
      py::object e = caught_exception();
      if (!is_exception(e)) pb::raise_instance(e);
      why = e;
      failed = true;
    }
    if (!failed && !frame.is_none() && compare(getattr_or(frame, "size", py::int_(0)), py::int_(0), Py_GT)) {
      return frame;
    }
    if (compare(monotonic_obj(), deadline, Py_GE)) {
      if (!why.is_none()) {
        log_warning("quorvane: the engine had no resting frame after %.1fs (%s: %s)", timeout_s, type_name(why), why);
      }
      return py::none();
    }
    global("time").attr("sleep")(global("_FIRST_FRAME_POLL_S"));
  }
}

py::object get_first_frame(py::object self) {
  if (py::object(self.attr("_fixture")).is_none() || py::object(self.attr("_runtime")).is_none()) {
    log_warning("quorvane: no first frame \xE2\x80\x94 no model is loaded (await AsyncQuorvane.create(model_path=...))");
    return py::none();
  }
  py::object out_size = self.attr("_output_size");
  if (!out_size.is_none()) {
    // Compose mode: every picture is made at the output size, so a blank one says it all.
    py::object w = builtin_int(out_size[py::int_(0)]);
    py::object h = builtin_int(out_size[py::int_(1)]);
    return blank_picture(h, w);
  }
  py::object frame = self.attr("_wait_source_frame")(global("_FIRST_FRAME_WAIT_S"));
  if (!frame.is_none()) return frame;
  py::object w, h;
  try {
    py::object fx = self.attr("_fixture");
    w = builtin_int(fx.attr("frame_width"));
    h = builtin_int(py::object(self.attr("_fixture")).attr("frame_height"));
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
    log_warning("quorvane: no first frame \xE2\x80\x94 this model cannot say how big a frame is (%s: %s)", type_name(e), e);
    return py::none();
  }
  py::object zero = py::int_(0);
  if (compare(w, zero, Py_GT) && compare(h, zero, Py_GT)) {
    log_warning(
        "quorvane: the engine produced no resting frame in %.1fs; reporting this model's own %dx%d geometry "
        "with a blank frame so the session can still start",
        global("_FIRST_FRAME_WAIT_S"), w, h);
    return blank_picture(h, w);
  }
  log_warning("quorvane: no first frame \xE2\x80\x94 this model reports a %dx%d frame size", w, h);
  return py::none();
}

// Compose mode reports the output size, streaming mode the model's own; nothing without a model.
py::object frame_side(py::object self, int index, const char* fixture_attr) {
  py::object fx = self.attr("_fixture");
  if (fx.is_none()) return py::none();
  py::object out_size = self.attr("_output_size");
  if (!out_size.is_none()) return builtin_int(out_size[py::int_(index)]);
  return builtin_int(fx.attr(fixture_attr));
}

py::object frame_width(py::object self) { return frame_side(self, 0, "frame_width"); }

py::object frame_height(py::object self) { return frame_side(self, 1, "frame_height"); }

py::object sample_rate(py::object) { return global("_SAMPLE_RATE_HZ"); }

py::object fps(py::object self) { return self.attr("_engine_fps"); }

py::object samples_per_tick(py::object self) {
  py::object fx = self.attr("_fixture");
  if (fx.is_none()) {
    pb::raise_instance(global("RuntimeNotReadyError")("Fixture not loaded; await create() first."));
  }
  return builtin_int(fx.attr("audio_samples_per_tick"));
}

}  // namespace

void register_geometry(py::module_&, py::object cls) {
  pb::def_method(cls, "get_first_frame", &get_first_frame);
  pb::def_method(cls, "_wait_source_frame", &wait_source_frame, py::arg("timeout_s"));
  pb::def_property(cls, "frame_width", &frame_width);
  pb::def_property(cls, "frame_height", &frame_height);
  pb::def_property(cls, "sample_rate", &sample_rate);
  pb::def_property(cls, "fps", &fps);
  pb::def_property(cls, "samples_per_tick", &samples_per_tick);
}

}  // namespace quorvane::avatar::bind::out

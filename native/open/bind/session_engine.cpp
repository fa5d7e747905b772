// Python names of the session engine: the corvine-2 session of quorvane._session driven as a
// frame iterator, with the push phase, the drain phase after the end of input and the reason
// each render ended.
#include <string>

#include "open/bind/api.h"
#include "open/bind/common.h"
#include "open/session_stop.h"
#include "pybridge/pyclass.h"

namespace quorvane::open::bind {

namespace {

// The drain phase polls the session this often while it has no frame ready.
constexpr double kDrainPollS = 0.005;

py::object monotonic() { return global("time").attr("monotonic")(); }

bool compare(py::handle a, py::handle b, int op) {
  py::object r = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), op));
  if (!r) throw py::error_already_set();
  return truthy(r);
}

// A frame of any kind but speech.
bool not_speech(py::handle mod, py::handle kind) { return compare(kind, mod.attr("LE_UTT_SPEECH"), Py_NE); }

// A frame of the avatar at rest.
bool is_rest(py::handle mod, py::handle kind) { return compare(kind, mod.attr("LE_UTT_IDLE"), Py_EQ); }

// The quiet deadline from now: time.monotonic() + _QUIET, the constant read afresh.
py::object deadline_from_now() { return monotonic() + global("_QUIET"); }

bool past(py::handle deadline) { return compare(monotonic(), deadline, Py_GT); }

void session_init(py::object self, py::object source, py::object session) {
  py::object mod = import_module("quorvane._session");
  self.attr("_session_mod") = mod;
  self.attr("frames_per_second") = mod.attr("FPS");
  if (!session.is_none()) {
    self.attr("_s") = session;
    return;
  }
  py::object bundle = global("_materialise")(source);
  py::object json = import_module("json");
  py::object path = global("os").attr("path").attr("join")(bundle, "manifest.json");
  // The built-in open: the module's own `open` is the avatar opener.
  py::object file = import_module("builtins").attr("open")(path, py::arg("encoding") = "utf-8");
  py::object man;
  with_block(file, [&](py::object f) { man = json.attr("load")(f); });
  self.attr("_s") = mod.attr("Session")(bundle, man);
}

// _SessionEngine.frames(chunks): push every chunk and deliver what is ready, then drain until the
// avatar returns to rest or the quiet deadline passes.
pb::Generator session_frames(py::object self, py::object chunks) {
  py::object s = self.attr("_s");
  py::object mod = self.attr("_session_mod");
  s.attr("reset")();
  self.attr("stop_reason") = kStopUnfinished;
  bool speaking = false;

  // Push phase: never waits; rest frames before speech are dropped, everything after is kept.
  py::object it = iter_of(chunks);
  while (py::object chunk = next_of(it)) {
    s.attr("push")(chunk);
    for (;;) {
      py::object got = s.attr("pull")();
      if (got.is_none()) {
        s.attr("check_render")();
        break;
      }
      auto [frame, kind] = unpack_pair(got);
      if (!speaking) {
        if (not_speech(mod, kind)) continue;
        speaking = true;
      }
      co_yield frame;
    }
  }

  s.attr("end")();
  py::object deadline = deadline_from_now();

  // Drain phase: poll until rest after speech, or until the deadline passes without a frame or
  // without speech ever starting.
  for (;;) {
    py::object got = s.attr("pull")();
    if (got.is_none()) {
      if (past(deadline)) {
        s.attr("check_render")();
        self.attr("stop_reason") = quiet_deadline_text(py::float_(global("_QUIET")).cast<double>());
        co_return;
      }
      global("time").attr("sleep")(kDrainPollS);
      continue;
    }
    auto [frame, kind] = unpack_pair(got);
    if (!speaking) {
      if (not_speech(mod, kind)) {
        if (past(deadline)) {
          s.attr("check_render")();
          self.attr("stop_reason") = kStopNoSpeech;
          co_return;
        }
        continue;  // dropped at once; the deadline stands
      }
      speaking = true;
    } else if (is_rest(mod, kind)) {
      self.attr("stop_reason") = kStopIdleFrame;
      co_return;
    }
    // Renewed before the frame is handed out: the consumer's time on it counts toward the wait.
    deadline = deadline_from_now();
    co_yield frame;
  }
}

void session_interrupt(py::object self) {
  try {
    self.attr("_s").attr("reset")();
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
}

void session_close(py::object self) { self.attr("_s").attr("close")(); }

}  // namespace

void register_session_engine(py::module_& m) {
  // Read once, at import; a value that is not a number fails the import with float()'s error.
  py::object environ = py::module_::import("os").attr("environ");
  m.attr("_QUIET") = py::float_(environ.attr("get")("QUORVANE_RENDER_QUIET", "10"));

  py::object cls = pb::make_class(kModule, "_SessionEngine", py::tuple(), py::dict());
  pb::def_method(cls, "__init__", &session_init, py::arg("source"), py::arg("session") = py::none());
  pb::def_method(cls, "frames", &session_frames, py::arg("chunks"));
  pb::def_method(cls, "interrupt", &session_interrupt);
  pb::def_method(cls, "close", &session_close);
  m.attr("_SessionEngine") = cls;
}

}  // namespace quorvane::open::bind

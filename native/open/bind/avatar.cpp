// Python names of the Avatar: its render with the render clock and the short-render check,
// the statistics of the last render, the mapping of engine errors and the release of the engine.
#include <cmath>
#include <cstdint>
#include <string>

#include "open/bind/api.h"
#include "open/bind/common.h"
#include "open/short_render.h"
#include "pybridge/pyclass.h"

namespace quorvane::open::bind {

namespace {

constexpr const char* kAvatarDoc = "An open avatar.  Get one from :func:`quorvane.open`.";

constexpr const char* kRenderDoc =
    "Yield the frames for ``audio``, or, with ``out_mp4=``, write them to an MP4.\n"
    "\n"
    "With ``out_mp4`` the frames are written as H.264 video, with the speech as its sound track\n"
    "when ``audio`` is an audio file path, and the number of frames written is returned.";

constexpr const char* kRenderRunning = "a render of this avatar is still running; finish or close it first";

constexpr const char* kRenderLog =
    "quorvane: render %d frames in %.2f s = %.1f fps steady state (first audio push -> last frame; "
    "model load excluded)";

py::object perf_counter() { return global("time").attr("perf_counter")(); }

// ---- _RenderClock ---------------------------------------------------------------------------

void clock_init(py::object self) {
  self.attr("_t0") = py::none();
  self.attr("_t1") = py::none();
  self.attr("_n") = 0;
  self.attr("_bytes") = 0;
}

// The chunks of `it` unchanged; the first one taken stamps _t0 before it is handed on, and each
// one's length is added to _bytes: the audio the engine took, which is what a render without a
// whole clip is measured against.
pb::Generator clock_chunks(py::object self, py::object it) {
  py::object iter = iter_of(it);
  while (py::object chunk = next_of(iter)) {
    if (py::object(self.attr("_t0")).is_none()) self.attr("_t0") = perf_counter();
    self.attr("_bytes") = py::object(self.attr("_bytes")) + py::int_(py::len(chunk));
    co_yield chunk;
  }
}

void clock_frame(py::object self) {
  self.attr("_t1") = perf_counter();
  self.attr("_n") = py::object(self.attr("_n")) + py::int_(1);
}

py::object clock_stats(py::object self) {
  py::object t0 = self.attr("_t0");
  py::object t1 = self.attr("_t1");
  py::object n = self.attr("_n");
  if (t0.is_none() || t1.is_none() || n.equal(py::int_(0))) return py::none();
  py::object secs = t1 - t0;
  py::float_ least(1e-9);
  if (least > secs) secs = least;  // max(secs, 1e-9): the first of equals wins
  py::object fps = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(n.ptr(), secs.ptr()));
  if (!fps) throw py::error_already_set();
  return global("RenderStats")(n, secs, fps);
}

// ---- Avatar ---------------------------------------------------------------------------------

void avatar_init(py::object self, py::object engine, py::object engine_id) {
  self.attr("_engine") = engine;
  self.attr("_engine_id") = engine_id;
  self.attr("_closed") = false;
  self.attr("_render_stats") = py::none();
  self.attr("_rendering") = false;
}

// out_mp4 as a file call takes it: a str unchanged, bytes and path objects through os.fsdecode.
// The str() of anything else names some other file (b'out.mp4', <DirEntry 'out.mp4'>, 5).
py::object out_mp4_text(py::handle out_mp4) {
  if (PyUnicode_Check(out_mp4.ptr())) return py::reinterpret_borrow<py::object>(out_mp4);
  py::object os = global("os");
  if (!PyBytes_Check(out_mp4.ptr()) && !is_instance(out_mp4, os.attr("PathLike"))) {
    pb::raise_new(PyExc_TypeError,
                  py::make_tuple("out_mp4 must be a path (str, bytes or os.PathLike) or None; got " + type_name(out_mp4)));
  }
  return os.attr("fsdecode")(out_mp4);
}

py::object avatar_render(py::object self, py::object audio, py::object out_mp4) {
  if (out_mp4.is_none()) return self.attr("_render_frames")(audio);
  py::object write = import_from("quorvane.__main__", "_write");
  py::object text = out_mp4_text(out_mp4);
  return write(self, audio, text);
}

void avatar_release(py::object self) {
  if (truthy(self.attr("_closed"))) return;
  self.attr("_closed") = true;  // before the engine is touched: a failing close is not retried
  self.attr("_engine").attr("close")();
}

bool avatar_exit(py::object self, py::args) {
  self.attr("_release")();
  return false;
}

void avatar_del(py::object self) {
  try {
    self.attr("_release")();
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
}

// The caller's audio stream, item by item, unchanged, from the one iterator the render asked it
// for. An error the caller's own iterator raises is kept in `raised` on its way through: the
// render's error then names it as its cause, so the caller's traceback shows where their code
// failed.
pb::Generator caller_items(py::object it, py::object raised) {
  for (;;) {
    py::object item;
    try {
      item = next_of(it);
    } catch (py::error_already_set& e) {
      raised.attr("append")(e.value());
      throw;
    }
    if (!item) break;
    co_yield item;
  }
}

// What the consumer gets in place of an error raised during the render loop or the check.
// `raised` holds what the caller's own audio stream raised, if it did.
[[noreturn]] void map_render_error(py::object exc, py::handle engine_failed, py::handle engine_unavailable,
                                   py::handle raised) {
  if (is_instance(exc, PyExc_GeneratorExit) || !is_exception(exc)) pb::raise_instance(exc);
  if (is_instance(exc, errors_attr("AvatarError"))) pb::raise_instance(exc);
  for (py::handle own : raised) {
    if (own.is(exc)) raise_refused_from("Failed", py::str("the render stopped"), exc);
  }
  if (is_instance(exc, engine_unavailable)) {
    raise_refused("NotSupported", exc.attr("args")[py::int_(0)], exc.attr("detail"));
  }
  if (is_instance(exc, engine_failed)) {
    raise_refused("Failed", exc.attr("args")[py::int_(0)], exc.attr("detail"));
  }
  raise_refused("Failed", py::str("the render stopped"), exc);
}

// expected - max(2, int(expected * _SHORT_FRAC)), with int()'s errors for a product that is
// not finite.
std::int64_t floor_for(py::handle expected_obj, std::int64_t& expected) {
  expected = py::int_(py::reinterpret_borrow<py::object>(expected_obj)).cast<std::int64_t>();
  const double frac = py::float_(global("_SHORT_FRAC")).cast<double>();
  const double product = static_cast<double>(expected) * frac;
  if (std::isnan(product)) {
    pb::raise_new(PyExc_ValueError, py::make_tuple("cannot convert float NaN to integer"));
  }
  if (std::isinf(product)) {
    pb::raise_new(PyExc_OverflowError, py::make_tuple("cannot convert float infinity to integer"));
  }
  return short_floor(expected, frac);
}

// Raises when the render delivered clearly fewer frames than its audio implies: the whole clip,
// or, for a file or a stream, the audio the engine took (`arrived_bytes`). A stream, whose end
// nobody knows in advance, also falls short when no frame came out at all.
void short_render_check(py::object self, py::object clip, const py::int_& arrived_bytes, bool is_stream,
                        std::int64_t delivered) {
  py::object engine = self.attr("_engine");
  py::object fps = py::getattr(engine, "frames_per_second", py::none());
  py::object expected_obj = clip.is_none() ? expected_frames_of(arrived_bytes, fps)
                                           : global("_expected_frames")(clip, fps);
  std::int64_t expected = 0;
  std::int64_t floor = 0;
  bool is_short;
  if (!expected_obj.is_none()) {
    floor = floor_for(expected_obj, expected);
    is_short = delivered < floor || (is_stream && delivered == 0);
  } else {
    is_short = delivered == 0;  // without an expectation only an empty render is short
  }
  if (!is_short) return;
  const std::string engine_id = py::str(self.attr("_engine_id"));
  if (delivered == 0) raise_refused("Failed", py::str(kNoFramesMessage), py::str(no_frames_detail(engine_id)));
  const std::string fps_text = py::str(py::getattr(self.attr("_engine"), "frames_per_second", py::str("?")));
  const std::string stop_text =
      py::str(py::getattr(self.attr("_engine"), "stop_reason", py::str("not recorded")));
  raise_refused("Failed", py::str(stopped_early_message(delivered, expected)),
                py::str(stopped_early_detail(engine_id, delivered, floor, expected, fps_text, stop_text)));
}

// Marks the avatar's engine as driven by one render, from the moment the render asks for its
// frames until the render ends however it ends (finished, failed, closed or dropped).
class RenderClaim {
 public:
  explicit RenderClaim(py::handle avatar) : avatar_(avatar) { avatar_.attr("_rendering") = true; }
  RenderClaim(const RenderClaim&) = delete;
  RenderClaim& operator=(const RenderClaim&) = delete;
  ~RenderClaim() {
    py::error_scope keep_pending_error;
    try {
      avatar_.attr("_rendering") = false;
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("ending a render");
    }
  }

 private:
  py::handle avatar_;  // the flow's own parameter: alive as long as the claim
};

// Avatar._render_frames(audio): a generator of the engine's frames, timed, checked and mapped.
pb::Generator avatar_render_frames(py::object self, py::object audio) {
  if (truthy(self.attr("_closed"))) raise_avatar_error("Failed", "this avatar is closed");
  // Every engine keeps one stream of state: a second render would feed its audio into the first
  // one's, and its errors would stop it. It is refused before anything of it reaches the engine.
  if (truthy(self.attr("_rendering"))) pb::raise_new(PyExc_RuntimeError, py::make_tuple(kRenderRunning));
  RenderClaim claim(self);
  py::object engine_failed = import_from("quorvane._session", "EngineFailed");
  py::object engine_unavailable = import_from("quorvane._session", "EngineUnavailable");
  py::object items;
  py::object clip = render_clip(audio, items);
  const bool is_stream = static_cast<bool>(items);
  pb::Held raised = py::list();
  pb::Held source = is_stream ? py::cast(caller_items(items, raised)) : audio;
  items = py::object();  // held by the stream from here, where the collector sees it
  py::object clock = global("_RenderClock")();
  py::object gen = self.attr("_engine").attr("frames")(clock.attr("chunks")(global("_chunks")(source, clip)));
  // Up to here the engine has not started: errors reach the consumer as they are.

  bool done = false;
  std::int64_t delivered = 0;
  try {
    py::object pending;
    try {
      py::object it = iter_of(gen);
      while (py::object frame = next_of(it)) {
        ++delivered;
        clock.attr("frame")();
        co_yield frame;
      }
      done = true;
      py::object st = clock.attr("stats")();
      self.attr("_render_stats") = st;
      if (!st.is_none()) {
        global("_log").attr("info")(kRenderLog, st.attr("frames"), st.attr("render_seconds"),
                                    st.attr("render_fps"));
      }
    } catch (...) {
      pending = caught_exception();
    }
    // However the loop was left (closed, dropped, an error), an unfinished engine is told to stop.
    if (!done) self.attr("_engine").attr("interrupt")();
    if (pending) pb::raise_instance(pending);
    short_render_check(self, clip, py::int_(clock.attr("_bytes")), is_stream, delivered);
  } catch (...) {
    map_render_error(caught_exception(), engine_failed, engine_unavailable, raised);
  }
}

}  // namespace

void register_avatar(py::module_& m) {
  m.attr("_SHORT_FRAC") = 0.02;

  m.attr("RenderStats") = py::module_::import("collections").attr("namedtuple")(
      "RenderStats", py::make_tuple("frames", "render_seconds", "render_fps"), py::arg("module") = kModule);

  py::dict clock_ns;
  clock_ns["__slots__"] = py::make_tuple("_t0", "_t1", "_n", "_bytes");
  py::object clock = pb::make_class(kModule, "_RenderClock", py::tuple(), clock_ns);
  pb::def_method(clock, "__init__", &clock_init);
  pb::def_method(clock, "chunks", &clock_chunks, py::arg("it"));
  pb::def_method(clock, "frame", &clock_frame);
  pb::def_method(clock, "stats", &clock_stats);
  m.attr("_RenderClock") = clock;

  py::dict ns;
  ns["__slots__"] = py::make_tuple("_engine", "_engine_id", "_closed", "_render_stats", "_rendering");
  ns["__doc__"] = kAvatarDoc;
  py::object avatar = pb::make_class(kModule, "Avatar", py::tuple(), ns);
  pb::def_method(avatar, "__init__", &avatar_init, py::arg("engine"), py::arg("engine_id"));
  pb::def_method(avatar, "render", &avatar_render, py::arg("audio"), py::arg("out_mp4") = py::none(),
                 py::doc(kRenderDoc));
  pb::def_method(avatar, "__enter__", [](py::object self) { return self; });
  pb::def_method(avatar, "__exit__", &avatar_exit);
  pb::def_method(avatar, "__del__", &avatar_del);
  pb::def_method(avatar, "_release", &avatar_release);
  pb::def_method(avatar, "_render_frames", &avatar_render_frames, py::arg("audio"));
  m.attr("Avatar") = avatar;
}

}  // namespace quorvane::open::bind

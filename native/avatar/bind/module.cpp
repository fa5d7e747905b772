// The extension module quorvane._avatar: the live-streaming AsyncAvatar. The module body does what
// the module's import promises, in its order: the standard modules and NumPy, the native runtime,
// the loader base class, the exception classes and the records; then the logger and constants,
// the class, and `__all__`.
#include <pybind11/pybind11.h>

#include "avatar/bind/register.h"
#include "avatar/bind/support.h"
#include "pybridge/flow.h"
#include "pybridge/pyclass.h"

namespace py = pybind11;
namespace pb = quorvane::pybridge;

namespace {

constexpr const char* kClassDoc =
    "The live-streaming avatar API: pushed speech in, composed VideoFrame records out, in the "
    "application's asyncio event loop.\n\n"
    "The package's public async class is ``quorvane.AsyncQuorvane``, built the same way with "
    "``create``.\n\n"
    "    avatar = await AsyncAvatar.create(model_path=...)\n"
    "    await avatar.push_audio(pcm_bytes, sample_rate=16_000, last_chunk=True)\n"
    "    async for frame in avatar.run():\n"
    "        ...\n"
    "    await avatar.shutdown()\n";

void import_into(py::module_& m, const char* as, const char* module) {
  m.attr(as) = py::module_::import(module);
}

void from_import(py::module_& m, const char* module, std::initializer_list<const char*> names) {
  py::module_ src = py::module_::import(module);
  for (const char* n : names) m.attr(n) = src.attr(n);
}

}  // namespace

PYBIND11_MODULE(_avatar, m) {
  m.doc() = "AsyncAvatar: pushed speech in, paced VideoFrame records out, in an asyncio loop";
  pb::register_flow_types(m);

  import_into(m, "asyncio", "asyncio");
  import_into(m, "dataclasses", "dataclasses");
  import_into(m, "functools", "functools");
  py::module_::import("concurrent.futures");  // bound as its package, as `import a.b` binds `a`
  import_into(m, "concurrent", "concurrent");
  import_into(m, "logging", "logging");
  import_into(m, "time", "time");
  from_import(m, "pathlib", {"Path"});
  from_import(m, "typing", {"AsyncIterator", "Optional", "Tuple"});
  import_into(m, "np", "numpy");
  m.attr("_core") = py::module_::import("quorvane._core");
  from_import(m, "quorvane._loader", {"NativeFixtureLoaderMixin"});
  from_import(m, "quorvane._exceptions", {"ModelNotFoundError", "RuntimeNotReadyError"});
  from_import(m, "quorvane._models", {"AudioChunk", "VideoControl", "VideoFrame"});
  from_import(m, "quorvane._models", {"INT16_MAX"});

  m.attr("_log") = m.attr("logging").attr("getLogger")("quorvane");
  m.attr("_SAMPLE_RATE_HZ") = 16000;
  m.attr("_FPS") = 25;
  m.attr("_LOOKBACK_TICKS") = 3;
  m.attr("_STREAM_FLUSH_PAD_TICKS") = 8;
  m.attr("_DEFAULT_OUTPUT_SIZE") = py::make_tuple(1280, 720);
  m.attr("_V2_DRAIN_STALL_S") = 2.0;
  m.attr("_V2_FLUSH_PAD_TICKS") = 16;
  m.attr("_FIRST_FRAME_WAIT_S") = 1.0;
  m.attr("_FIRST_FRAME_POLL_S") = 0.01;
  m.attr("_STREAM_END") = py::module_::import("builtins").attr("object")();
  m.attr("_SYNC_LEAD_S") = 0.025;
  // Pictures held for an audio sink at most: 3 s of video at 20 fps, far more than a sink that
  // plays holds (its queue is a few hundred ms), and about 54 MB of mirrant-2 pictures. Once the
  // hold is full run() reads no more, so a sink that stops playing stops the producer too.
  m.attr("_SYNC_HOLD_FRAMES") = 60;
  m.attr("_M2_PREROLL_FRAMES") = 36;
  m.attr("_M2_CHUNK0_FRAMES") = 21;
  m.attr("_M2_CHUNK_FRAMES") = 32;
  m.attr("_M2_START_MARGIN_S") = 0.15;
  m.attr("_M2_R1_FACTOR") = 1.35;
  m.attr("_M2_FEED_SLICE_SAMPLES") = 25600;
  m.attr("_M2_CATCHUP_S") = 0.5;
  // Frames a mirrant-2 producer may have waiting for the playout clock before it feeds the model
  // more speech: above the clock's pre-roll (36), so play can always start, and 3.2 s of video, so
  // the next chunk (32 frames, under a second to render) is in long before playout runs dry. With
  // the chunk in flight that is at most about 96 pictures, 86 MB, however much speech was pushed.
  m.attr("_M2_AHEAD_FRAMES") = 64;

  py::dict ns;
  ns["__doc__"] = kClassDoc;
  py::object cls = pb::make_class("quorvane._avatar", "AsyncAvatar",
                                  py::make_tuple(m.attr("NativeFixtureLoaderMixin")), ns);
  m.attr("AsyncAvatar") = cls;

  // The constructor makes exactly the instance state every other member relies on, in this
  // order; it validates nothing and loads nothing.
  pb::def_method(
      cls, "__init__",
      [](py::object self, py::object input_buffer_size, py::object output_buffer_size,
         py::object output_size, py::object num_threads) {
        py::module_ mod = py::module_::import("quorvane._avatar");
        py::object asyncio = mod.attr("asyncio");
        py::object deque = py::module_::import("collections").attr("deque");
        self.attr("_num_threads") = num_threads;
        self.attr("_output_size") = output_size;
        self.attr("_fixture") = py::none();
        self.attr("_runtime") = py::none();
        self.attr("_model_path") = py::none();
        self.attr("_in_queue") = asyncio.attr("Queue")(py::arg("maxsize") = input_buffer_size);
        self.attr("_out_queue") = asyncio.attr("Queue")(py::arg("maxsize") = output_buffer_size);
        self.attr("_producer_task") = py::none();
        self.attr("_running") = false;
        self.attr("_stop_event") = asyncio.attr("Event")();
        self.attr("_interrupt_event") = asyncio.attr("Event")();
        self.attr("_audio_queued") = py::none();
        self.attr("_sync_pend") = deque();
        self.attr("_stream_pushed") = 0;
        self.attr("_engine_executor") = py::none();
        self.attr("_playout") = py::none();
        self.attr("_emitter_task") = py::none();
        self.attr("_playout_reset") = false;
        self.attr("_interrupts") = 0;
        self.attr("_stops") = 0;
        self.attr("_engine_job") = py::none();
        self.attr("_engine_stuck") = py::none();
        self.attr("_playout_room") = py::none();
        self.attr("_playout_backlog") = 0;
        self.attr("_sync_wake") = py::none();
        self.attr("_sync_handed") = 0.0;
        self.attr("_run_over") = py::none();
      },
      py::kw_only(), py::arg("input_buffer_size") = 0, py::arg("output_buffer_size") = 6,
      py::arg("output_size") = m.attr("_DEFAULT_OUTPUT_SIZE"), py::arg("num_threads") = 0);

  quorvane::avatar::bind::set_module(m);
  quorvane::avatar::bind::register_support(m);
  quorvane::avatar::bind::register_producer(m, cls);
  quorvane::avatar::bind::register_output(m, cls);

  py::list all;
  all.append("AsyncAvatar");
  m.attr("__all__") = all;
}

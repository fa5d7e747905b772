// The areas of the producer side of AsyncAvatar, each registered from its own file.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvane::avatar::bind {

namespace py = pybind11;

/// `create`, `set_model` and the `_engine_fps` property.
void register_model_loading(py::module_& m, py::object cls);

/// `push_audio`, `push`, `flush`, the arrival clock, and the module functions `_i16_to_f32` and
/// `_resample_linear`.
void register_audio_input(py::module_& m, py::object cls);

/// `_ensure_running`, `_produce_frames`, `_fresh_runtime`, the stream-kind tests, `_emit_out` and
/// `_engine`.
void register_frame_producer(py::module_& m, py::object cls);

/// `_emit_ready_ticks` and `_drain_v2_tail`.
void register_tick_emission(py::module_& m, py::object cls);

/// The module's record of engine calls in flight (`_ENGINE_CALLS`) and the functions that release
/// them at interpreter exit and when an avatar is collected.
void register_engine_calls(py::module_& m);

/// Records `job`, a call just handed to the engine thread over the runtime `rt`, as in flight until
/// it ends. Should the avatar `self` be collected, or the interpreter end, while it still runs, it
/// is given the engine's grace period and then `rt` is closed, which ends it.
void track_engine_call(py::handle self, py::handle job, py::handle rt);

}  // namespace quorvane::avatar::bind

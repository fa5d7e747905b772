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

/// An asyncio future of the running loop that takes the outcome of `job` (its result, its error,
/// its cancellation) once it ends; cancelling it cancels `job` if that has not started. Unlike
/// `asyncio.wrap_future`, the job keeps only a weak reference to it: a call in flight on the engine
/// thread never keeps alive the task that awaits it, nor anything that task holds (the avatar).
/// Once nobody holds the future, or its loop is closed, the call's end is handed to nobody.
py::object engine_call_waiter(py::handle job);

}  // namespace quorvane::avatar::bind

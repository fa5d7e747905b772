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

}  // namespace quorvane::avatar::bind

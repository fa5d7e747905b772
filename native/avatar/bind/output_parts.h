// The consumer-side areas of AsyncAvatar, each registered by its own file and all reached from
// register_output.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvane::avatar::bind::out {

namespace py = pybind11;

/// `run`, `_run_iter`, `sync_to` and the module function `_queued_reader`.
void register_stream(py::module_& m, py::object cls);

/// `_emit_clock` and `_drop_queued_resting`.
void register_playout(py::module_& m, py::object cls);

/// `interrupt`, `_drain_queue`, `stop`, `_drain_out_queue_until`, `shutdown`, `cleanup`,
/// `_end_stream_before_close`, `_close_runtime`.
void register_teardown(py::module_& m, py::object cls);

/// `get_first_frame`, `_wait_source_frame` and the geometry properties.
void register_geometry(py::module_& m, py::object cls);

/// `settings` with `_SettingsProxy`, `set_identity`, `start`, `video_graph`.
void register_compat(py::module_& m, py::object cls);

}  // namespace quorvane::avatar::bind::out

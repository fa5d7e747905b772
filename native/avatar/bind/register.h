// Registration of the Python names of quorvane._avatar. The module body (imports, constants, the
// class and its constructor) is made in module.cpp; each area then adds its members to the class.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvane::avatar::bind {

namespace py = pybind11;

/// Model loading, the frame-rate property, audio input and the arrival clock, the frame producer
/// and tick emission.
void register_producer(py::module_& m, py::object cls);

/// The output stream and audio-sink sync, the mirrant-2 playout clock, stop/interrupt/teardown,
/// the first frame and stream geometry, and the compatibility surface.
void register_output(py::module_& m, py::object cls);

}  // namespace quorvane::avatar::bind

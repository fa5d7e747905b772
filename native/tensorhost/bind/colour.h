// The Python side of colour correction, shared with the binding files that pass a correction on
// to the core (the renderer).
#pragma once

#include <memory>

#include "tensorhost/bind/common.h"
#include "tensorhost/bundle/colour_load.h"
#include "tensorhost/kernels/colour.h"
#include "tensorhost/kernels/colour_parse.h"

namespace quorvane::m2::bind {

/// The core correction behind a Python value, taken under the interpreter lock: null for None;
/// the ColorCorrect's own core object when neither `apply` nor a field is overridden by a Python
/// subclass; otherwise an adapter that reads `kind` and `lut` (and `gain`, `bias`) once, now, and
/// calls the object's Python `apply` under the interpreter lock for every frame handed to it.
/// The adapter keeps the object alive and releases it under the lock. Throws TypeError when `kind`
/// is missing.
std::shared_ptr<const ColorCorrect> color_correct_from_py(py::handle obj);

/// The Python value of a core correction: None for null; the very Python object a correction came
/// from when it was adapted by color_correct_from_py; else a new, read-only ColorCorrect whose
/// fields are copies of the core's (lut a (3, 256) uint8 array, gain and bias float32 (3,) arrays)
/// and which shares the core object. Needs the interpreter lock.
py::object color_correct_to_py(const std::shared_ptr<const ColorCorrect>& cc);

/// Registers ColorCorrect, parse_color_correct, color_descriptor, _color_descriptor_json,
/// _color_enabled and load_color_correct. Called by register_rgb.
void register_colour(py::module_& m);

}  // namespace quorvane::m2::bind

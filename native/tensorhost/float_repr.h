// Floating-point numbers written the way Python's repr() writes a float.
#pragma once

#include <string>

namespace quorvane::m2 {

/// The shortest text that reads back as exactly `v`, laid out as repr(float) does: positional
/// notation with at least one digit after the point ("1.0", "0.0001", "1e+16" is the first
/// exponent form above, "1e-05" the first below), "inf", "-inf", "nan".
std::string repr_float(double v);

}  // namespace quorvane::m2

// Reading the colour table out of a bundle at start-up, and the report line the host logs.
#pragma once

#include <memory>
#include <string>

#include "tensorhost/kernels/colour.h"

namespace quorvane::m2 {

/// Outcome of loading the colour table of a bundle: the correction or null, and the report line
/// (beginning "colour-correct:") that the host logs.
struct ColorLoad {
  std::shared_ptr<const ColorCorrect> cc;
  std::string report;
};

/// Looks for "color.json" in `bundle` (any bundle kind) unless correction is switched off (then
/// the bundle is not read), parses it with the source "<bundle>!color.json" and words the report.
/// Errors reading the bundle propagate (OSError and the bundle reader's errors).
ColorLoad load_color_correct(const std::string& bundle);

}  // namespace quorvane::m2

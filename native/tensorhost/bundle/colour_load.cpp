// Reading the colour table out of a bundle at start-up, and the report line the host logs.
#include "tensorhost/bundle/bundle.h"
#include "tensorhost/bundle/colour_load.h"
#include "tensorhost/constants.h"
#include "tensorhost/kernels/colour.h"
#include "tensorhost/kernels/colour_parse.h"

namespace quorvane::m2 {

ColorLoad load_color_correct(const std::string& bundle) {
  const std::string prefix(COLOR_LOG_PREFIX);
  if (!color_enabled())
    return ColorLoad{nullptr, prefix + " DISABLED by " + std::string(COLOR_ENV) +
                                  "=0 — the frames are the RAW model output and will NOT match a "
                                  "live session's colours. This switch exists to isolate the "
                                  "renderer for measurement; it is not a serving mode."};
  std::string member(COLOR_MEMBER);
  auto found = member_bytes(bundle, {member}, SMALL_MEMBER_CEILING);
  std::optional<std::string> raw;
  if (found) raw = std::move(found->second);
  ColorParse p = parse_color_correct(raw, bundle + "!" + member);
  if (!p.cc)
    return ColorLoad{nullptr, prefix + " NOT APPLIED — " + p.message +
                                  ". The frames are the raw model output. A container carries "
                                  "the correction only if its producer packed one, so this says "
                                  "nothing about whether the identity HAS one; it is not an error "
                                  "and the render proceeds."};
  return ColorLoad{p.cc, prefix + " APPLIED — " + p.cc->describe()};
}

}  // namespace quorvane::m2

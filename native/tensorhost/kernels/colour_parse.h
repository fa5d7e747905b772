// The colour table parser: a bundle's "color.json" bytes (or a decoded document) to a colour
// correction, every problem of the content reported in the returned message.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tensorhost/kernels/colour.h"

namespace quorvane::m2 {

/// Outcome of parsing a colour table: the correction (null when none could be made) and one line
/// saying what was loaded from where, or why nothing was.
struct ColorParse {
  std::shared_ptr<const ColorCorrect> cc;
  std::string message;
};

/// Parses a colour member's bytes. nullopt means the bundle has no such member. Every problem of
/// the content (invalid UTF-8, not JSON, not an object, a bad "lut", "gain" or "bias") is reported
/// in the message, never thrown. `source` appears only in the success messages.
ColorParse parse_color_correct(const std::optional<std::string>& raw, const std::string& source);

/// Same, for a document that is already decoded. `top_int` tells that a top-level number was
/// written as an integer (JSON text of integers too large for 64 bits parses as a float).
ColorParse parse_color_correct_doc(const nlohmann::json& doc, const std::string& source,
                                   bool top_int = false);

/// The Python name of a decoded JSON value's type, as the messages print it: "dict", "list",
/// "str", "int", "float", "bool" or "NoneType".
std::string json_type_name(const nlohmann::json& v);

}  // namespace quorvane::m2

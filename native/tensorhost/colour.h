// Per-avatar colour correction: the in-memory correction applied to RGB888 frames, the parser of a
// bundle's colour table ("color.json"), its one-line description, the descriptor of the start-up
// line, the environment switch, and the loader that reads the table out of a bundle.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "tensorhost/tensor.h"

namespace quorvane::m2 {

inline constexpr size_t COLOR_TABLE_BYTES = 3 * 256;

/// A per-channel colour correction. Made once (by parse_color_correct, or by the binding from a
/// caller's values) and never changed afterwards, so any number of threads may read it and call
/// apply() at once.
///
/// `kind` "lut" maps byte b of channel c to lut[c * 256 + b]; any other kind is the affine form
/// out = trunc(clip(float(in) * gain[c] + bias[c], 0, 255)), each operation in single precision.
/// A field the kind needs may be absent for a correction built from a caller's values; the
/// operations that need it then throw ValueError.
struct ColorCorrect {
  std::string kind;
  std::optional<std::array<uint8_t, COLOR_TABLE_BYTES>> lut;  // rows R, G, B of 256 entries
  std::optional<std::array<float, 3>> gain;                   // R, G, B
  std::optional<std::array<float, 3>> bias;                   // R, G, B
  std::string source;                                         // where the table came from

  virtual ~ColorCorrect() = default;

  bool is_lut() const { return kind == "lut"; }

  /// The 3 x 256 byte map this correction stands for: the table itself for kind "lut", the affine
  /// map evaluated at every byte for the other kind (exact: the affine map sees only bytes).
  /// Throws ValueError when the field the kind needs is absent.
  std::array<uint8_t, COLOR_TABLE_BYTES> byte_map() const;

  /// True when a subclass replaces apply() (a correction implemented outside the core). The frame
  /// conversion then hands whole frames to apply() instead of using byte_map().
  virtual bool custom_apply() const { return false; }

  /// A new (..., 3) uint8 tensor: `rgb` (last axis R, G, B, C-contiguous) with the correction
  /// applied; `rgb` is not modified. Throws ValueError when the last axis is not 3 or the field the
  /// kind needs is absent. Overrides may throw anything.
  virtual ByteTensor apply(const ByteTensor& rgb) const;

  /// One log line describing the correction (deviation of a table from identity, or the gains and
  /// biases). Throws ValueError when the field the kind needs is absent.
  std::string describe() const;
};

/// Applies a 3 x 256 byte map to `n_pixels` interleaved RGB pixels, from `in` to `out` (which may be
/// the same buffer).
void apply_byte_map(const std::array<uint8_t, COLOR_TABLE_BYTES>& map, const uint8_t* in,
                    uint8_t* out, int64_t n_pixels);

/// Whether colour correction is switched on: false when MIRRANT2_COLOR_CORRECT, stripped and
/// lower-cased, is "0", "false", "no" or "off"; true otherwise (unset included). Reads the
/// environment on every call.
bool color_enabled();

/// The descriptor of a correction: its kind and the lowercase hex SHA-256 of its 768 table bytes
/// (kind "lut") or of its gains then biases as 24 little-endian float32 bytes (other kinds).
/// nullopt for no correction. Throws ValueError when the field the kind needs is absent.
struct ColorDescriptor {
  std::string kind;
  std::string sha256;
};
std::optional<ColorDescriptor> color_descriptor(const ColorCorrect* cc);

/// The descriptor as compact JSON text for the start-up line: {"kind":"lut","sha256":"<hex>"}
/// (keys in this order) or null.
std::string color_descriptor_json(const ColorCorrect* cc);

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

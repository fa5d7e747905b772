// Per-avatar colour correction: the in-memory correction applied to RGB888 frames, its one-line
// description, the descriptor of the start-up line and the environment switch. The parser of a
// bundle's colour table is colour_parse.h; reading it out of a bundle is bundle/colour_load.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "tensorhost/chain/tensor.h"

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
}  // namespace quorvane::m2

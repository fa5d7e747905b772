#include "tensorhost/kernels/colour.h"

#include <openssl/evp.h>

#include <cmath>
#include <cstring>

#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

const std::array<uint8_t, COLOR_TABLE_BYTES>& need_lut(const ColorCorrect& cc) {
  if (!cc.lut) throw ValueError("ColorCorrect of kind 'lut' carries no (3, 256) uint8 table");
  return *cc.lut;
}

void need_gain_bias(const ColorCorrect& cc) {
  if (!cc.gain || !cc.bias)
    throw ValueError("ColorCorrect of kind " + repr_str(cc.kind) +
                     " carries no float32 gain and bias of shape (3,)");
}

// One byte through the affine map: product, then sum, each rounded to single precision on its
// own (the build forbids contraction into a fused multiply-add), clipped, truncated. NaN (only
// possible from a caller's non-finite gain or bias) becomes 0.
uint8_t affine_byte(uint8_t b, float gain, float bias) {
  float p = static_cast<float>(b) * gain;
  float s = p + bias;
  if (!(s > 0.0f)) return 0;
  if (s >= 255.0f) return 255;
  return static_cast<uint8_t>(s);
}

std::string float_list(const std::array<float, 3>& v) {
  std::string out = "[";
  for (size_t i = 0; i < 3; ++i) {
    if (i) out += ", ";
    out += repr_float(static_cast<double>(v[i]));
  }
  return out + "]";
}

std::string sha256_hex(const uint8_t* data, size_t n) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data, n, md, &len, EVP_sha256(), nullptr) != 1)
    throw RuntimeError("SHA-256 digest failed");
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

void put_le32(float f, uint8_t* out) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

}  // namespace

std::array<uint8_t, COLOR_TABLE_BYTES> ColorCorrect::byte_map() const {
  if (is_lut()) return need_lut(*this);
  need_gain_bias(*this);
  std::array<uint8_t, COLOR_TABLE_BYTES> map{};
  for (size_t c = 0; c < 3; ++c)
    for (size_t b = 0; b < 256; ++b)
      map[c * 256 + b] = affine_byte(static_cast<uint8_t>(b), (*gain)[c], (*bias)[c]);
  return map;
}

void apply_byte_map(const std::array<uint8_t, COLOR_TABLE_BYTES>& map, const uint8_t* in,
                    uint8_t* out, int64_t n_pixels) {
  const uint8_t* r = map.data();
  const uint8_t* g = r + 256;
  const uint8_t* b = g + 256;
  for (int64_t k = 0; k < n_pixels; ++k) {
    out[3 * k] = r[in[3 * k]];
    out[3 * k + 1] = g[in[3 * k + 1]];
    out[3 * k + 2] = b[in[3 * k + 2]];
  }
}

ByteTensor ColorCorrect::apply(const ByteTensor& rgb) const {
  if (rgb.shape.empty() || rgb.shape.back() != 3)
    throw ValueError("apply() needs a uint8 array whose last axis holds the 3 channels R, G, B");
  auto map = byte_map();
  ByteTensor out = ByteTensor::empty(rgb.shape);
  apply_byte_map(map, rgb.data, out.data, rgb.size() / 3);
  return out;
}

std::string ColorCorrect::describe() const {
  if (is_lut()) {
    const auto& t = need_lut(*this);
    static const char letters[3] = {'R', 'G', 'B'};
    std::string items;
    for (size_t c = 0; c < 3; ++c) {
      int64_t max_d = 0, sum_d = 0;
      for (int64_t b = 0; b < 256; ++b) {
        int64_t d = static_cast<int64_t>(t[c * 256 + static_cast<size_t>(b)]) - b;
        if (d < 0) d = -d;
        max_d = std::max(max_d, d);
        sum_d += d;
      }
      // sum / 256 is exact in double; "%.1f" then rounds the exact value half to even.
      double mean = static_cast<double>(sum_d) / 256.0;
      if (c) items += "/";
      items += std::string(1, letters[c]) + " max " + std::to_string(max_d) + " mean " +
               fixed(mean, 1);
    }
    return "per-channel LUT (model->driver), deviation from identity: " + items;
  }
  need_gain_bias(*this);
  return "per-channel gain=" + float_list(*gain) + " bias=" + float_list(*bias);
}

bool color_enabled() {
  std::string v = lower(strip_unicode(getenv_str(std::string(COLOR_ENV).c_str())));
  return !(v == "0" || v == "false" || v == "no" || v == "off");
}

std::optional<ColorDescriptor> color_descriptor(const ColorCorrect* cc) {
  if (!cc) return std::nullopt;
  if (cc->is_lut()) {
    const auto& t = need_lut(*cc);
    return ColorDescriptor{cc->kind, sha256_hex(t.data(), t.size())};
  }
  need_gain_bias(*cc);
  uint8_t bytes[24];
  for (size_t c = 0; c < 3; ++c) {
    put_le32((*cc->gain)[c], bytes + 4 * c);
    put_le32((*cc->bias)[c], bytes + 12 + 4 * c);
  }
  return ColorDescriptor{cc->kind, sha256_hex(bytes, sizeof bytes)};
}

std::string color_descriptor_json(const ColorCorrect* cc) {
  auto d = color_descriptor(cc);
  if (!d) return "null";
  nlohmann::ordered_json j;
  j["kind"] = d->kind;
  j["sha256"] = d->sha256;
  return j.dump(-1, ' ', true);
}

}  // namespace quorvane::m2

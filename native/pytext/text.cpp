#include "pytext/text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace quorvane::pytext {

namespace {

// Length of the well-formed sequence that starts at s[i], or the error that starts there. The
// accepted ranges are the table of well-formed byte sequences: the second byte's range carries the
// checks for overlong forms (E0, F0), surrogates (ED) and the top of the code space (F4).
struct Utf8Step {
  size_t len;     // > 0: a well-formed sequence
  Utf8Error err;  // when len == 0
};

Utf8Step utf8_step_at(std::string_view s, size_t i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) return {1, {}};
  size_t need;
  unsigned lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0, {i, i + 1, "invalid start byte"}};
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {0, {i, s.size(), "unexpected end of data"}};
    const unsigned b = static_cast<uint8_t>(s[i + k]);
    const unsigned l = k == 1 ? lo : 0x80u;
    const unsigned h = k == 1 ? hi : 0xBFu;
    if (b < l || b > h) return {0, {i, i + k, "invalid continuation byte"}};
  }
  return {need + 1, {}};
}

// Decodes the well-formed sequence at s[i] (already checked) to its code point.
char32_t utf8_code_point_at(std::string_view s, size_t i, size_t len) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (len == 1) return b0;
  char32_t cp = b0 & (0x7Fu >> len);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3Fu);
  return cp;
}

}  // namespace

std::optional<Utf8Error> utf8_first_error(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    // Runs of ASCII are the common case in names and manifests.
    if (static_cast<uint8_t>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    Utf8Step st = utf8_step_at(s, i);
    if (st.len == 0) return st.err;
    i += st.len;
  }
  return std::nullopt;
}

std::string unicode_decode_error_text(std::string_view s, const Utf8Error& err) {
  char buf[160];
  if (err.end - err.start == 1) {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s",
                  static_cast<unsigned>(static_cast<uint8_t>(s[err.start])), err.start, err.reason);
  } else {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode bytes in position %zu-%zu: %s",
                  err.start, err.end - 1, err.reason);
  }
  return buf;
}

std::optional<std::u32string> decode_utf8_strict(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    Utf8Step st = utf8_step_at(bytes, i);
    if (st.len == 0) return std::nullopt;
    out.push_back(utf8_code_point_at(bytes, i, st.len));
    i += st.len;
  }
  return out;
}

std::u32string decode_fs_name(std::string_view bytes) {
  // The bytes of an error range after its first are continuation bytes, which never start a
  // sequence, so escaping one byte and trying again at the next gives what Python's decoder gives.
  std::u32string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    Utf8Step st = utf8_step_at(bytes, i);
    if (st.len == 0) {
      out.push_back(0xDC00 + static_cast<uint8_t>(bytes[i]));
      ++i;
    } else {
      out.push_back(utf8_code_point_at(bytes, i, st.len));
      i += st.len;
    }
  }
  return out;
}

std::string utf8_prefix(std::string_view s, size_t n) {
  size_t i = 0;
  for (size_t taken = 0; taken < n && i < s.size(); ++taken) {
    Utf8Step st = utf8_step_at(s, i);
    i += st.len == 0 ? 1 : st.len;
  }
  return std::string(s.substr(0, i));
}

bool is_py_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
    case 0x1C: case 0x1D: case 0x1E: case 0x1F: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string strip(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_py_space(s[b])) ++b;
  while (e > b && is_py_space(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string strip_unicode(std::string_view s) {
  size_t b = 0;
  while (b < s.size()) {
    Utf8Step st = utf8_step_at(s, b);
    if (st.len == 0 || !is_py_space(utf8_code_point_at(s, b, st.len))) break;
    b += st.len;
  }
  size_t e = s.size();
  while (e > b) {
    // Walk back to the lead byte of the last sequence; a stray continuation byte ends the strip.
    size_t lead = e - 1;
    while (lead > b && e - lead < 4 && (static_cast<uint8_t>(s[lead]) & 0xC0) == 0x80) --lead;
    Utf8Step st = utf8_step_at(s, lead);
    if (st.len != e - lead || !is_py_space(utf8_code_point_at(s, lead, st.len))) break;
    e = lead;
  }
  return std::string(s.substr(b, e - b));
}

std::u32string_view strip_py_space(std::u32string_view text) {
  while (!text.empty() && is_py_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_py_space(text.back())) text.remove_suffix(1);
  return text;
}

std::string repr_float(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // Shortest round-trip digits, taken from the scientific form: "d.ddde[+-]XX".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string sign;
  if (!sci.empty() && sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  size_t e = sci.find('e');
  std::string mant = sci.substr(0, e);
  int exp10 = std::atoi(sci.c_str() + e + 1);
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;
  // The value is 0.<digits> x 10^decpt; repr switches to the exponent form outside (-4, 16].
  int decpt = exp10 + 1;
  if (decpt <= -4 || decpt > 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char eb[16];
    int x = decpt - 1;
    std::snprintf(eb, sizeof eb, "e%c%02d", x < 0 ? '-' : '+', std::abs(x));
    return out + eb;
  }
  std::string out = sign;
  if (decpt <= 0) {
    out += "0." + std::string(static_cast<size_t>(-decpt), '0') + digits;
  } else if (static_cast<size_t>(decpt) >= digits.size()) {
    out += digits + std::string(static_cast<size_t>(decpt) - digits.size(), '0') + ".0";
  } else {
    out += digits.substr(0, static_cast<size_t>(decpt)) + "." +
           digits.substr(static_cast<size_t>(decpt));
  }
  return out;
}

}  // namespace quorvane::pytext

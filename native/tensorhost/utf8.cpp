#include "tensorhost/utf8.h"

#include <cstdint>
#include <cstdio>

#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

// Length of the well-formed sequence that starts at s[i], or the error that starts there. The
// accepted ranges are the table of well-formed byte sequences: the second byte's range carries the
// checks for overlong forms (E0, F0), surrogates (ED) and the top of the code space (F4).
struct Step {
  size_t len;     // > 0: a well-formed sequence
  Utf8Error err;  // when len == 0
};

Step step_at(std::string_view s, size_t i) {
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
uint32_t code_point_at(std::string_view s, size_t i, size_t len) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (len == 1) return b0;
  uint32_t cp = b0 & (0x7Fu >> len);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3Fu);
  return cp;
}

bool is_unicode_space(uint32_t cp) {
  if (cp < 0x80) return is_py_space(static_cast<char>(cp));
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
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
    Step st = step_at(s, i);
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

std::string utf8_prefix(std::string_view s, size_t n) {
  size_t i = 0;
  for (size_t taken = 0; taken < n && i < s.size(); ++taken) {
    Step st = step_at(s, i);
    i += st.len == 0 ? 1 : st.len;
  }
  return std::string(s.substr(0, i));
}

std::string strip_unicode(std::string_view s) {
  size_t b = 0;
  while (b < s.size()) {
    Step st = step_at(s, b);
    if (st.len == 0 || !is_unicode_space(code_point_at(s, b, st.len))) break;
    b += st.len;
  }
  size_t e = s.size();
  while (e > b) {
    // Walk back to the lead byte of the last sequence; a stray continuation byte ends the strip.
    size_t lead = e - 1;
    while (lead > b && e - lead < 4 && (static_cast<uint8_t>(s[lead]) & 0xC0) == 0x80) --lead;
    Step st = step_at(s, lead);
    if (st.len != e - lead || !is_unicode_space(code_point_at(s, lead, st.len))) break;
    e = lead;
  }
  return std::string(s.substr(b, e - b));
}

}  // namespace quorvane::m2

#include "open/fs_text.h"

namespace quorvane::open {

bool py_isspace(char32_t c) {
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

namespace {

/// Decodes one well-formed UTF-8 sequence at the start of `s`; returns its length (0 when the
/// bytes there do not start one) and stores the code point.
size_t decode_one(std::string_view s, char32_t& out) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto cont = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) {
    out = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    if (!cont(1)) return 0;
    out = static_cast<char32_t>(((c & 0x1F) << 6) | (b(1) & 0x3F));
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    // No overlong forms below U+0800 and no surrogates U+D800-U+DFFF.
    if (c == 0xE0 && b(1) < 0xA0) return 0;
    if (c == 0xED && b(1) > 0x9F) return 0;
    out = static_cast<char32_t>(((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F));
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;
    if (c == 0xF4 && b(1) > 0x8F) return 0;
    out = static_cast<char32_t>(((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                                (b(3) & 0x3F));
    return 4;
  }
  return 0;
}

}  // namespace

std::optional<std::u32string> decode_utf8_strict(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t c = 0;
    size_t n = decode_one(bytes, c);
    if (n == 0) return std::nullopt;
    out.push_back(c);
    bytes.remove_prefix(n);
  }
  return out;
}

std::u32string decode_fs_name(std::string_view bytes) {
  // The bytes of an error range after its first are continuation bytes, which never start a
  // sequence, so escaping one byte and trying again at the next gives what Python's decoder gives.
  std::u32string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t c = 0;
    size_t n = decode_one(bytes, c);
    if (n == 0) {
      c = 0xDC00 + static_cast<unsigned char>(bytes.front());
      n = 1;
    }
    out.push_back(c);
    bytes.remove_prefix(n);
  }
  return out;
}

std::u32string_view strip_py_space(std::u32string_view text) {
  while (!text.empty() && py_isspace(text.front())) text.remove_prefix(1);
  while (!text.empty() && py_isspace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace quorvane::open

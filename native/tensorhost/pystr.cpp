#include "tensorhost/pystr.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace quorvane::m2 {

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::optional<int64_t> parse_int(std::string_view raw) {
  std::string s = strip(raw);
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i >= s.size()) return std::nullopt;
  // Accumulate as a negative number so INT64_MIN fits.
  int64_t v = 0;
  bool prev_digit = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '_') {
      if (!prev_digit || i + 1 >= s.size()) return std::nullopt;
      prev_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    int d = c - '0';
    if (v < (std::numeric_limits<int64_t>::min() + d) / 10) return std::nullopt;
    v = v * 10 - d;
    prev_digit = true;
  }
  if (!prev_digit) return std::nullopt;
  if (!neg) {
    if (v == std::numeric_limits<int64_t>::min()) return std::nullopt;
    v = -v;
  }
  return v;
}

std::string repr_str(std::string_view s) {
  bool has_single = s.find('\'') != std::string_view::npos;
  bool has_double = s.find('"') != std::string_view::npos;
  char q = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, q);
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const auto next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0u;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // U+0080..U+009F, the second block of control characters, escaped like the first.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", next);
      out += buf;
      ++i;
    } else if (c == static_cast<unsigned char>(q) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += q;
  return out;
}

std::string repr_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += repr_str(items[i]);
  }
  out += "]";
  return out;
}

std::string shape_text(const std::vector<int64_t>& shape) {
  std::string out = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(shape[i]);
  }
  if (shape.size() == 1) out += ",";
  return out + ")";
}

std::string fixed(double v, int decimals) {
  int n = std::snprintf(nullptr, 0, "%.*f", decimals, v);
  std::string out(static_cast<size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, "%.*f", decimals, v);
  return out;
}

std::string getenv_str(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace quorvane::m2

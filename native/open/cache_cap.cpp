#include "open/cache_cap.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace quorvane::open {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_nocase(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

/// Whether `s` (no sign) is digits with an optional point and exponent, at least one digit
/// before the exponent, and nothing after it.
bool is_decimal(std::string_view s) {
  size_t i = 0, n_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++n_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++n_digits;
  }
  if (n_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == start) return false;
  }
  return i == s.size();
}

locale_t c_locale() {
  // The decimal point must not follow whatever LC_NUMERIC the application set.
  static locale_t loc = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

std::optional<double> parse_float_text(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  std::string s;
  s.reserve(text.size());
  // An underscore must stand between two digits; the rule holds for the whole text, letters
  // of inf and nan included.
  char prev = '\0';
  for (char c : text) {
    if (c == '_') {
      if (!is_digit(prev)) return std::nullopt;
    } else {
      if (prev == '_' && !is_digit(c)) return std::nullopt;
      s.push_back(c);
    }
    prev = c;
  }
  if (prev == '_') return std::nullopt;
  if (s.empty()) return std::nullopt;
  std::string_view body(s);
  bool negative = false;
  if (body.front() == '+' || body.front() == '-') {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (equals_nocase(body, "inf") || equals_nocase(body, "infinity")) {
    return negative ? -HUGE_VAL : HUGE_VAL;
  }
  if (equals_nocase(body, "nan")) return negative ? -std::nan("") : std::nan("");
  if (!is_decimal(body)) return std::nullopt;
  char* end = nullptr;
  double v = ::strtod_l(s.c_str(), &end, c_locale());
  if (end != s.c_str() + s.size()) return std::nullopt;
  return v;
}

std::optional<double> cap_gb_of_text(std::string_view text) {
  std::optional<double> gb = parse_float_text(text);
  if (!gb || !std::isfinite(*gb) || *gb < 0.0) return std::nullopt;
  return *gb + 0.0;  // -0 is 0
}

double cap_bytes_from_gb(double gb) {
  const double bytes = gb * 1e9;
  // A cap beyond every disk: the largest one there is, rather than none at all.
  return std::isfinite(bytes) ? std::trunc(bytes) : std::numeric_limits<double>::max();
}

}  // namespace quorvane::open

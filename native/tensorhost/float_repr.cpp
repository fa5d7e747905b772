#include "tensorhost/float_repr.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace quorvane::m2 {

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

}  // namespace quorvane::m2

// The cache cap: the text of QUORVANE_AVATAR_CACHE_GB read as Python's float() reads text, the
// values a cap may take, and the cap in bytes made from it. Pure functions; thread-safe.
#pragma once

#include <optional>
#include <string_view>

namespace quorvane::open {

/// float(text) for ASCII text: white space (space, \t, \n, \v, \f, \r) around the number; an
/// optional sign; decimal digits with an optional point and exponent, single underscores allowed
/// between digits; or inf, infinity, nan in any letter case. Correctly rounded (overflow gives an
/// infinity, underflow zero or a subnormal). nullopt where float() raises ValueError. A caller
/// holding other text first maps Unicode white space to " " and Unicode decimal digits to ASCII
/// ones, as float() does, and rejects any other character above U+007E.
std::optional<double> parse_float_text(std::string_view text);

/// The cap in gigabytes that `text` gives: a finite number, 0 or more (-0 counts as 0). nullopt
/// for anything else (no number, a negative one, an infinity, a NaN).
std::optional<double> cap_gb_of_text(std::string_view text);

/// The cap in bytes for a cap of `gb` decimal gigabytes (finite, 0 or more): gb * 1e9 truncated
/// toward zero, and the largest finite double where that product overflows. The result is an
/// integral double (it may exceed every integer type; the binding makes it a Python int exactly).
double cap_bytes_from_gb(double gb);

}  // namespace quorvane::open

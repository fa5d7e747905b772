// Text helpers that reproduce the host's Python-facing spellings: integer parsing as int() reads a
// decimal string, quoted literals as repr() writes them, and the shared ones re-exported.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pytext/text.h"

namespace quorvane::m2 {

// Python's text spellings shared with the local avatar API's core (pytext/text.h): strict UTF-8
// with the codec's error texts, str.isspace() and str.strip(), repr() of a float.
using pytext::Utf8Error;
using pytext::utf8_first_error;
using pytext::is_strict_utf8;
using pytext::unicode_decode_error_text;
using pytext::utf8_prefix;
using pytext::is_py_space;
using pytext::strip;
using pytext::strip_unicode;
using pytext::repr_float;

/// Lower-cases ASCII letters.
std::string lower(std::string_view s);

/// Parses a base-10 integer the way int(text) does: surrounding white space, an optional sign,
/// digits with single underscores between them. nullopt when the text is not such an integer or
/// does not fit in 64 bits.
std::optional<int64_t> parse_int(std::string_view s);

/// A quoted literal as repr() of a str writes it: single quotes, or double quotes when the text
/// holds a single quote and no double quote; backslashes and control characters (U+0000..U+001F,
/// U+007F..U+009F) escaped.
std::string repr_str(std::string_view s);

/// ['a', 'b']: each item through repr_str, joined by ", ", in square brackets.
std::string repr_list(const std::vector<std::string>& items);

/// A shape as a tuple's repr writes it: "(3, 256)", "(768,)", "()".
std::string shape_text(const std::vector<int64_t>& shape);

/// Fixed-point text with `decimals` digits after the point, as "%.*f" writes it.
std::string fixed(double v, int decimals);

/// Value of an environment variable, or "" when unset.
std::string getenv_str(const char* name);

}  // namespace quorvane::m2

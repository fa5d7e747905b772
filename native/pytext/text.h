// Text as Python spells it, for cores that must answer with Python's own words: strict UTF-8
// decoding with the codec's error texts, the file-system decoding of names, str.isspace() and
// str.strip(), and repr() of a float. Pure functions; thread-safe; no interpreter needed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::pytext {

/// Where and why strict decoding stops: the bad bytes are [start, end), `reason` is the codec's own
/// wording ("invalid start byte", "invalid continuation byte", "unexpected end of data").
struct Utf8Error {
  size_t start;
  size_t end;
  const char* reason;
};

/// The first error a strict UTF-8 decoder meets in `s`, or nullopt for well-formed text. Overlong
/// forms, encoded surrogates (U+D800..U+DFFF) and code points above U+10FFFF are errors.
std::optional<Utf8Error> utf8_first_error(std::string_view s);

/// True when `s` is well-formed UTF-8.
inline bool is_strict_utf8(std::string_view s) { return !utf8_first_error(s); }

/// The text of the UnicodeDecodeError Python raises for `err` in `s`:
/// "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte" (one byte) or
/// "... can't decode bytes in position 2-3: unexpected end of data" (a range).
std::string unicode_decode_error_text(std::string_view s, const Utf8Error& err);

/// The code points of `bytes` when they are strict UTF-8; nullopt otherwise.
std::optional<std::u32string> decode_utf8_strict(std::string_view bytes);

/// The code points of a file name as os.fsdecode gives them on a UTF-8 system: each byte that
/// starts no well-formed sequence becomes the code point U+DC00 + byte.
std::u32string decode_fs_name(std::string_view bytes);

/// The first `n` code points of well-formed UTF-8 `s` (all of it when shorter), as s[:n] slices a
/// str.
std::string utf8_prefix(std::string_view s, size_t n);

/// Whether `c` is white space to str.isspace() (and so to str.strip()): the ASCII blank, \t \n \v
/// \f \r, \x1c-\x1f, and U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
/// U+3000.
bool is_py_space(char32_t c);

/// The same for one byte of text: only the ASCII white space, since a byte at or above 0x80 is
/// part of a longer sequence.
inline bool is_py_space(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x80 && is_py_space(static_cast<char32_t>(u));
}

/// `s` without leading and trailing ASCII white space, as str.strip() does for ASCII text.
std::string strip(std::string_view s);

/// `s` without leading and trailing white space, as str.strip() reads well-formed UTF-8 text.
/// Bytes that are not well-formed UTF-8 are never stripped.
std::string strip_unicode(std::string_view s);

/// `text` without white space at either end (str.strip()).
std::u32string_view strip_py_space(std::u32string_view text);

/// The shortest text that reads back as exactly `v`, laid out as repr(float) does: positional
/// notation with at least one digit after the point ("1.0", "0.0001", "1e+16" is the first
/// exponent form above, "1e-05" the first below), "inf", "-inf", "nan".
std::string repr_float(double v);

}  // namespace quorvane::pytext

// UTF-8 as Python's strict codec reads it, and the few str operations the host needs on such text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::m2 {

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

/// The first `n` code points of well-formed UTF-8 `s` (all of it when shorter), as s[:n] slices a
/// str.
std::string utf8_prefix(std::string_view s, size_t n);

/// `s` without leading and trailing white space, as str.strip() reads it: the ASCII spaces plus the
/// Unicode ones (U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
/// Bytes that are not well-formed UTF-8 are never stripped.
std::string strip_unicode(std::string_view s);

}  // namespace quorvane::m2

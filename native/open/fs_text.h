// Text as Python sees file contents and file names: strict UTF-8 (what a text-mode read accepts),
// the file-system decoding of names (UTF-8 with each undecodable byte b taken as the code point
// U+DC00 + b), and Python's white space. Pure functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvane::open {

/// Whether `c` is white space to Python's str.isspace (and so to str.strip()).
bool py_isspace(char32_t c);

/// The code points of `bytes` when they are strict UTF-8 (no overlong forms, no surrogates,
/// nothing above U+10FFFF, nothing cut short); nullopt otherwise.
std::optional<std::u32string> decode_utf8_strict(std::string_view bytes);

/// The code points of a file name as os.fsdecode gives them on a UTF-8 system.
std::u32string decode_fs_name(std::string_view bytes);

/// `text` without Python white space at either end (str.strip()).
std::u32string_view strip_py_space(std::u32string_view text);

}  // namespace quorvane::open

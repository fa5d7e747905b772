// The cores' one family of exceptions, each named after the Python exception it becomes. A
// module's binding turns each into that exception with the message unchanged (pytext/bind/
// errors.h); the cores themselves never see Python.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace quorvane::pytext {

/// What every member of the family derives from, so a binding can catch exactly the family.
struct CoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// Bad argument value (a path holding a NUL byte, a float that is not a number). Maps to ValueError.
struct ValueError : CoreError {
  using CoreError::CoreError;
};

/// Bad argument type. Maps to TypeError.
struct TypeError : CoreError {
  using CoreError::CoreError;
};

/// A failed invariant or a model contract breach at run time. Maps to RuntimeError.
struct RuntimeError : CoreError {
  using CoreError::CoreError;
};

/// Division by zero where the Python semantics raise. Maps to ZeroDivisionError.
struct ZeroDivisionError : CoreError {
  using CoreError::CoreError;
};

/// Out-of-range index. Maps to IndexError.
struct IndexError : CoreError {
  using CoreError::CoreError;
};

/// A number too large for its target (an infinite float made an integer). Maps to OverflowError.
struct OverflowError : CoreError {
  using CoreError::CoreError;
};

/// A failed operating-system call. Maps to OSError(errno, strerror, filename[, None, filename2]),
/// so Python picks the subclass (FileNotFoundError ...) and prints the names as its own calls do.
/// File names are raw file-system bytes; what() is strerror(errno).
struct OSError : CoreError {
  explicit OSError(int errno_value, std::optional<std::string> filename = std::nullopt,
                   std::optional<std::string> filename2 = std::nullopt);
  int errno_value;
  std::optional<std::string> filename;
  std::optional<std::string> filename2;
};

/// An error of a Python kind outside the names above, thrown where Python's own operation would
/// raise it ("AttributeError", "UnicodeDecodeError", "JSONDecodeError" ...). `kind` is the class
/// name, looked up among the built-in exceptions (RuntimeError when there is none of that name);
/// what() is the error's text.
struct PyKindError : CoreError {
  PyKindError(std::string kind_name, const std::string& text)
      : CoreError(text), kind(std::move(kind_name)) {}
  std::string kind;
};

}  // namespace quorvane::pytext

// The core's small family of exceptions. The binding turns each into the Python exception of the
// same name with the message unchanged; the core itself never sees Python.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace quorvane::open {

/// Bad argument value (a path holding a NUL byte, a float that is not a number). Maps to ValueError.
struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// A number too large for its target (an infinite float made an integer). Maps to OverflowError.
struct OverflowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// A failed operating-system call. Maps to OSError(errno, strerror, filename[, None, filename2]),
/// so Python picks the subclass (FileNotFoundError ...) and prints the names as its own calls do.
/// File names are raw file-system bytes.
struct OSError : std::runtime_error {
  explicit OSError(int errno_value, std::optional<std::string> filename = std::nullopt,
                   std::optional<std::string> filename2 = std::nullopt);
  int errno_value;
  std::optional<std::string> filename;
  std::optional<std::string> filename2;
};

}  // namespace quorvane::open

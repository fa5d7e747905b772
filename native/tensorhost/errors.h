// The core's small family of exceptions. The binding maps each to the Python type of the same name,
// keeping the message text unchanged; the core itself never sees Python.
#pragma once

#include <stdexcept>
#include <string>

namespace quorvane::m2 {

/// Bad argument value. Maps to ValueError.
struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// Bad argument type. Maps to TypeError.
struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// A failed invariant or a model contract breach at run time. Maps to RuntimeError.
struct RuntimeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// A bundle member larger than its reader may take, or a zip entry that inflates past the size
/// its archive declares for it. Maps to RuntimeError; bundle loading refuses the bundle with it.
struct MemberTooLarge : RuntimeError {
  using RuntimeError::RuntimeError;
};

/// Division by zero where the Python semantics raise. Maps to ZeroDivisionError.
struct ZeroDivisionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// Out-of-range index. Maps to IndexError.
struct IndexError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// A failed operating-system call. Maps to OSError with errno (so Python picks the subclass, such
/// as FileNotFoundError) and, when known, the file name.
struct OSError : std::runtime_error {
  OSError(int errno_value, std::string filename = {});
  int errno_value;
  std::string filename;
};

/// The process is to end with `status` (a FATAL refusal, a usage error). It leaves through Python
/// as SystemExit(status), so exit hooks still run and buffered output is not lost; nothing in the
/// core calls std::exit.
struct ExitRequest : std::exception {
  explicit ExitRequest(int s) : status(s) {}
  const char* what() const noexcept override { return "exit requested"; }
  int status;
};

}  // namespace quorvane::m2

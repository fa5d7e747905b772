// The core's exceptions: the shared family, and the request to end the process.
#pragma once

#include <stdexcept>

#include "pytext/errors.h"

namespace quorvane::m2 {

// The family shared with the local avatar API's core (pytext/errors.h); the binding's translator
// turns each into the Python exception of its name.
using pytext::ValueError;
using pytext::TypeError;
using pytext::RuntimeError;
using pytext::ZeroDivisionError;
using pytext::IndexError;
using pytext::OSError;

/// A bundle member larger than its reader may take, or a zip entry that inflates past the size
/// its archive declares for it. Maps to RuntimeError; bundle loading refuses the bundle with it.
struct MemberTooLarge : RuntimeError {
  using RuntimeError::RuntimeError;
};

/// A directory bundle's entry of a wanted member's name that is there but no regular file (a link
/// to a FIFO, a directory or a device, a link loop): refused by name, never taken for an absent
/// member. what() names the bundle, the member and what it is. Maps to RuntimeError.
struct NotRegularMember : RuntimeError {
  using RuntimeError::RuntimeError;
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

// The core's exceptions: the family shared with the model host's core (pytext/errors.h). The
// binding's translator turns each into the Python exception of its name, message unchanged.
#pragma once

#include "pytext/errors.h"

namespace quorvane::open {

using pytext::ValueError;
using pytext::OverflowError;
using pytext::OSError;

}  // namespace quorvane::open

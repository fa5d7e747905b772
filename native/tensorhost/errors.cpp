#include "tensorhost/errors.h"

#include <cstring>

namespace quorvane::m2 {

OSError::OSError(int e, std::string name)
    : std::runtime_error(std::strerror(e)), errno_value(e), filename(std::move(name)) {}

}  // namespace quorvane::m2

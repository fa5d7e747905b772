#include "open/errors.h"

#include <cstring>
#include <utility>

namespace quorvane::open {

OSError::OSError(int e, std::optional<std::string> name, std::optional<std::string> name2)
    : std::runtime_error(std::strerror(e)),
      errno_value(e),
      filename(std::move(name)),
      filename2(std::move(name2)) {}

}  // namespace quorvane::open

#include "pytext/errors.h"

#include <cstring>
#include <utility>

namespace quorvane::pytext {

OSError::OSError(int e, std::optional<std::string> name, std::optional<std::string> name2)
    : CoreError(std::strerror(e)),
      errno_value(e),
      filename(std::move(name)),
      filename2(std::move(name2)) {}

}  // namespace quorvane::pytext

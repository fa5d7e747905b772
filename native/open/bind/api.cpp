#include "open/bind/register.h"

namespace quorvane::open::bind {

void register_api(py::module_&) {}

}  // namespace quorvane::open::bind

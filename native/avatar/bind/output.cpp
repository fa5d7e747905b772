#include "avatar/bind/register.h"

namespace quorvane::avatar::bind {

void register_output(py::module_&, py::object) {}

}  // namespace quorvane::avatar::bind

#include "tensorhost/bind/common.h"

namespace quorvane::m2::bind {

void register_rgb(py::module_& m) { (void)m; }

}  // namespace quorvane::m2::bind

#include "tensorhost/bind/common.h"

namespace quorvane::m2::bind {

void register_audio(py::module_& m) { (void)m; }

}  // namespace quorvane::m2::bind

// The consumer half of AsyncAvatar: what the application reads and how the stream ends.
#include "avatar/bind/output_parts.h"
#include "avatar/bind/register.h"

namespace quorvane::avatar::bind {

void register_output(py::module_& m, py::object cls) {
  out::register_stream(m, cls);
  out::register_playout(m, cls);
  out::register_teardown(m, cls);
  out::register_geometry(m, cls);
  out::register_compat(m, cls);
}

}  // namespace quorvane::avatar::bind

#include "open/bind/api.h"

#include "open/bind/common.h"
#include "open/bind/register.h"

namespace quorvane::open::bind {

void register_api(py::module_& m) {
  // The docs of these names are their own texts; no generated signature line in front.
  py::options options;
  options.disable_function_signatures();

  m.attr("_log") = py::module_::import("logging").attr("getLogger")("quorvane");

  register_audio(m);
  register_avatar(m);
  register_session_engine(m);
  register_fixture_engine(m);
  register_open(m);
}

}  // namespace quorvane::open::bind

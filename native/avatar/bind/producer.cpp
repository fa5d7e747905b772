#include "avatar/bind/producer_parts.h"
#include "avatar/bind/register.h"

namespace quorvane::avatar::bind {

void register_producer(py::module_& m, py::object cls) {
  register_model_loading(m, cls);
  register_audio_input(m, cls);
  register_frame_producer(m, cls);
  register_tick_emission(m, cls);
  register_engine_calls(m);
}

}  // namespace quorvane::avatar::bind

// The extension module quorvane._avatar: the live-streaming AsyncAvatar.
#include <pybind11/pybind11.h>

#include "pybridge/flow.h"

PYBIND11_MODULE(_avatar, m) {
  m.doc() = "AsyncAvatar: pushed speech in, paced VideoFrame records out, in an asyncio loop";
  quorvane::pybridge::register_flow_types(m);
}

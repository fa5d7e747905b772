// The extension module quorvane._mirrant2._tensorhost: load order of the module's state, then the
// Python names of every area.
#include "tensorhost/bind/common.h"

PYBIND11_MODULE(_tensorhost, m) {
  using namespace quorvane::m2::bind;
  m.doc() = "mirrant-2 model host: the audio-to-frame model chain and the host program around it";
  register_errors(m);
  // Dependency-store lookup, byte streams, constants, the staged list and its exit hook, in the
  // order the module promises; then the functions and classes of each area.
  register_host(m);
  register_audio(m);
  register_rgb(m);
  register_chain(m);
  register_bundle(m);
  register_renderer(m);
  register_loader(m);
}

// The extension module quorvane._open: the local avatar API.
#include <pybind11/pybind11.h>

#include "open/bind/common.h"
#include "open/bind/register.h"
#include "pybridge/flow.h"

PYBIND11_MODULE(_open, m) {
  m.doc() = "open(source): an avatar on this machine, rendered to frames offline";
  quorvane::pybridge::register_flow_types(m);
  // Every function reads the module's names through it, as Python functions read their globals.
  quorvane::open::bind::set_module(m);
  quorvane::open::bind::register_cache(m);
  quorvane::open::bind::register_api(m);
}

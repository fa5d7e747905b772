// The extension module quorvane._open: the local avatar API.
#include <pybind11/pybind11.h>

#include "open/bind/common.h"
#include "open/bind/register.h"
#include "pybridge/flow.h"

PYBIND11_MODULE(_open, m) {
  m.doc() = "open(source): an avatar on this machine, rendered to frames offline";
  quorvane::pybridge::register_flow_types(m);
  quorvane::open::bind::register_errors();
  // Every function reads the module's names through it, as Python functions read their globals.
  quorvane::open::bind::set_module(m);
  // The standard modules both halves reach through the module, as a Python module's globals, so
  // a test that replaces `quorvane._open.time` (or os, subprocess) is obeyed everywhere.
  m.attr("os") = pybind11::module_::import("os");
  m.attr("subprocess") = pybind11::module_::import("subprocess");
  m.attr("time") = pybind11::module_::import("time");
  quorvane::open::bind::register_cache(m);
  quorvane::open::bind::register_api(m);
}

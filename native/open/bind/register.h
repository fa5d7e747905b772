// Registration of the Python names of quorvane._open, one function per area.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvane::open::bind {

namespace py = pybind11;

/// The avatar cache: keys, memos, materialising, holding and eviction.
void register_cache(py::module_& m);

/// Opening an avatar, the Avatar and its render, audio normalisation and the in-module engines.
void register_api(py::module_& m);

}  // namespace quorvane::open::bind

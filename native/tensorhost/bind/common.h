// Shared helpers of the binding files: the only place, with the LiteRT runner, that sees Python.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "pytext/bind/errors.h"
#include "tensorhost/chain/tensor.h"

namespace quorvane::m2 {
class SlidingPCM;
}

namespace quorvane::m2::bind {

namespace py = pybind11;

// Paths cross between Python and the core as the bytes the file system sees: a str, bytes or
// os.PathLike goes in through os.fsencode, and comes back out through os.fsdecode, so a name that
// is not UTF-8 survives the round trip.
using pytext::bind::fs_bytes;
using pytext::bind::fs_str;

/// A NumPy array viewing `t`'s storage without copying; the array's base keeps the storage alive.
/// `readonly` clears the array's WRITEABLE flag.
template <class T>
py::array_t<T> to_numpy(const Tensor<T>& t, bool readonly) {
  auto* keep = new std::shared_ptr<const void>(t.owner);
  py::capsule base(keep, [](void* p) { delete static_cast<std::shared_ptr<const void>*>(p); });
  std::vector<py::ssize_t> shape(t.shape.begin(), t.shape.end());
  py::array_t<T> a(shape, t.data, base);
  if (readonly || !t.writable) py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return a;
}

/// The numpy module, imported (or found already imported) at the moment of need.
py::module_ numpy();

/// An owner that holds a Python object and drops it under the interpreter lock, from any thread.
std::shared_ptr<const void> hold_py(py::object obj);

/// A float32 tensor viewing a C-contiguous float32 NumPy array (no copy; the array is held).
FloatTensor from_numpy_f32(const py::array& a);

/// Appends any numeric 1-D array-like to `pcm`, as `_SlidingPCM.append` does: converted to float32
/// (no copy when it already is native float32, however strided), an empty array of any shape
/// ignored, a non-empty one that is not 1-D refused with ValueError "one-dimensional PCM
/// required". NumPy's own conversion errors propagate. Needs the GIL.
void append_pcm(SlidingPCM& pcm, py::handle samples);

/// Registration of each area's Python names, one file per area.
void register_errors(py::module_& m);
void register_host(py::module_& m);
void register_audio(py::module_& m);
void register_rgb(py::module_& m);
void register_chain(py::module_& m);
void register_bundle(py::module_& m);
void register_renderer(py::module_& m);
void register_loader(py::module_& m);

}  // namespace quorvane::m2::bind

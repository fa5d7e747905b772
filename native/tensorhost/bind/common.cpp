#include "tensorhost/bind/common.h"

#include "pytext/bind/errors.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2::bind {

py::module_ numpy() { return py::module_::import("numpy"); }

std::shared_ptr<const void> hold_py(py::object obj) {
  auto* raw = obj.release().ptr();
  return std::shared_ptr<const void>(raw, [](const void* p) {
    py::gil_scoped_acquire gil;
    Py_DECREF(static_cast<PyObject*>(const_cast<void*>(p)));
  });
}

FloatTensor from_numpy_f32(const py::array& a) {
  // The converting constructor, not ensure(): ensure() clears NumPy's conversion error, and the
  // caller is owed that error (a string array, say), not an internal one.
  py::array_t<float, py::array::c_style | py::array::forcecast> arr(a);
  FloatTensor t;
  t.data = const_cast<float*>(arr.data());
  t.shape.assign(arr.shape(), arr.shape() + arr.ndim());
  t.writable = arr.writeable();
  t.owner = hold_py(arr);
  return t;
}

void register_errors(py::module_&) {
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ExitRequest& e) {
      PyErr_SetObject(PyExc_SystemExit, py::int_(e.status).ptr());
    } catch (...) {
      pytext::bind::set_python_error(std::current_exception());
    }
  });
}

}  // namespace quorvane::m2::bind

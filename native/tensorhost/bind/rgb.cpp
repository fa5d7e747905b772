// Python names of the float-to-RGB888 conversion and its worker pool. Everything the workers need
// is gathered here while the interpreter lock is held; the conversion itself runs without it.
#include <climits>

#include "tensorhost/bind/colour.h"
#include "tensorhost/bind/common.h"
#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/kernels/rgb888.h"
#include "tensorhost/kernels/rgb_pool.h"

namespace quorvane::m2::bind {

namespace {

// Stateless handles: the objects they stand for are process-wide and found anew on every call.
struct RgbPoolLockHandle {};
struct RgbTlsHandle {};

// One frame as the core sees it. A native float32 array is used in place: written (fast path)
// when it is writable and exactly (3, FH, FW), whatever its strides or alignment, only read
// otherwise. Everything the general path reads is C-contiguous and aligned: a float32 array in
// another byte order or layout is read through such a copy (never written), float64 likewise;
// integer and boolean frames are read as float64, which represents them as NumPy's product does.
RgbFrame frame_from_py(py::handle f, int64_t index) {
  py::object np = numpy();
  py::object a = np.attr("asarray")(f);
  py::object dtype = a.attr("dtype");
  std::string kind = dtype.attr("kind").cast<std::string>();
  int64_t itemsize = dtype.attr("itemsize").cast<int64_t>();
  auto shape_of = [](const py::array& arr) {
    return std::vector<int64_t>(arr.shape(), arr.shape() + arr.ndim());
  };
  // An aligned C-contiguous copy unless the array already is one of that dtype.
  auto required = [&](const char* type) {
    return py::reinterpret_borrow<py::array>(
        np.attr("require")(a, np.attr(type), py::make_tuple("C", "A")));
  };
  if (kind == "f" && itemsize == 4) {
    auto arr = py::reinterpret_borrow<py::array>(a);
    const bool native = dtype.attr("isnative").cast<bool>();
    const std::vector<int64_t> frame_shape{3, FH, FW};
    if (native && arr.writeable() && shape_of(arr) == frame_shape) {
      const int flags = arr.flags();
      FloatTensor t;
      t.data = static_cast<float*>(arr.mutable_data());
      t.shape = frame_shape;
      t.writable = true;
      t.owner = hold_py(arr);
      if ((flags & py::array::c_style) && (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_))
        return RgbFrame(std::move(t));
      return RgbFrame(std::move(t), {arr.strides(0), arr.strides(1), arr.strides(2)});
    }
    arr = required("float32");
    FloatTensor t;
    t.data = static_cast<float*>(const_cast<void*>(arr.data()));
    t.shape = shape_of(arr);
    t.writable = false;
    t.owner = hold_py(arr);
    return RgbFrame(std::move(t));
  }
  if ((kind == "f" && itemsize == 8) || kind == "i" || kind == "u" || kind == "b") {
    auto arr = required("float64");
    Tensor<double> t;
    t.data = static_cast<double*>(const_cast<void*>(arr.data()));
    t.shape = shape_of(arr);
    t.writable = false;
    t.owner = hold_py(arr);
    return RgbFrame(std::move(t));
  }
  throw TypeError("frame " + std::to_string(index) + " has dtype " +
                  std::string(py::str(dtype)) + "; frames must be float32 or float64");
}

// Frames lo .. hi-1 of `px` (a sequence of arrays or an array of frames) at their own indices.
std::vector<RgbFrame> gather(py::handle px, int64_t lo, int64_t hi) {
  std::vector<RgbFrame> frames(static_cast<size_t>(std::max<int64_t>(hi, 0)));
  for (int64_t i = lo; i < hi; ++i)
    frames[static_cast<size_t>(i)] = frame_from_py(px[py::int_(i)], i);
  return frames;
}

// int(threads), saturated to 64 bits.
int64_t thread_count(py::handle threads) {
  py::int_ v(py::reinterpret_borrow<py::object>(threads));
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (overflow > 0) return INT64_MAX;
  if (overflow < 0) return INT64_MIN;
  return x;
}

}  // namespace

void register_rgb(py::module_& m) {
  register_colour(m);

  // RGB_THREADS_ENV is bound with the module's other constants.
  m.def(
      "px_to_rgb888",
      [](py::object px_chw, py::object cc) {
        RgbFrame f = frame_from_py(px_chw, 0);
        auto core_cc = color_correct_from_py(cc);
        ByteTensor out;
        {
          py::gil_scoped_release nogil;
          out = px_to_rgb888(f, core_cc.get());
        }
        return py::bytes(reinterpret_cast<const char*>(out.data),
                         static_cast<size_t>(out.size()));
      },
      py::arg("px_chw"), py::arg("cc") = py::none(),
      "The 898560 RGB888 bytes of one (3, 720, 416) frame, by the general path (the frame is "
      "not modified).");

  m.def(
      "_rgb_convert_range",
      [](py::object px, py::object u8, py::object lo_obj, py::object hi_obj, py::object cc) {
        if (!py::isinstance<py::array>(u8))
          throw TypeError("u8 must be a writable C-contiguous uint8 array of shape (n, " +
                          std::to_string(FH) + ", " + std::to_string(FW) + ", 3)");
        auto arr = py::reinterpret_borrow<py::array>(u8);
        if (std::string(py::str(arr.dtype())) != "uint8" || arr.ndim() != 4 ||
            arr.shape(1) != FH || arr.shape(2) != FW || arr.shape(3) != 3 ||
            !(arr.flags() & py::array::c_style) || !arr.writeable())
          throw TypeError("u8 must be a writable C-contiguous uint8 array of shape (n, " +
                          std::to_string(FH) + ", " + std::to_string(FW) + ", 3)");
        int64_t lo = thread_count(lo_obj), hi = thread_count(hi_obj);
        int64_t n = static_cast<int64_t>(py::len(px));
        if (lo < hi && (lo < 0 || hi > n || hi > arr.shape(0)))
          throw IndexError("frame range [" + std::to_string(lo) + ", " + std::to_string(hi) +
                           ") lies outside the " + std::to_string(n) + " frames or the " +
                           std::to_string(arr.shape(0)) + " output entries");
        if (hi < lo) hi = lo;
        auto frames = gather(px, lo, hi);
        auto core_cc = color_correct_from_py(cc);
        auto* out = static_cast<uint8_t*>(arr.mutable_data());
        py::gil_scoped_release nogil;
        rgb_convert_range(frames, out, lo, hi, core_cc.get());
      },
      py::arg("px"), py::arg("u8"), py::arg("lo"), py::arg("hi"), py::arg("cc"), py::pos_only(),
      "Converts frames lo .. hi-1 of px into entries lo .. hi-1 of u8 on the calling thread.");

  m.def(
      "px_to_rgb888_chunk",
      [](py::object px, py::object cc, py::object threads) {
        int64_t n = static_cast<int64_t>(py::len(px));
        auto frames = gather(px, 0, n);
        auto core_cc = color_correct_from_py(cc);
        int64_t t = thread_count(threads);
        ByteTensor out;
        {
          py::gil_scoped_release nogil;
          out = px_to_rgb888_chunk(frames, core_cc.get(), t);
        }
        return to_numpy(out, false);
      },
      py::arg("px"), py::arg("cc") = py::none(), py::arg("threads") = 1,
      "A new uint8 array (n, 720, 416, 3) of the n frames of px, converted on up to `threads` "
      "threads. Writable float32 frames of shape (3, 720, 416) are left holding their scaled, "
      "clipped values.");

  m.def("rgb_threads", &rgb_threads, "The RGB conversion thread count (MIRRANT2_RGB_THREADS).");

  m.def(
      "_rgb_ranges",
      [](int64_t n, int64_t threads) { return rgb_ranges(n, threads); }, py::arg("n"),
      py::arg("threads"), "The (lo, hi) ranges a chunk of n frames is split into.");

  py::class_<RgbPool, std::unique_ptr<RgbPool, py::nodelete>>(m, "_RgbPool")
      .def_property_readonly("_max_workers", &RgbPool::max_workers)
      .def_property_readonly("_thread_names", &RgbPool::thread_names)
      .def_property_readonly("_tasks_queued", &RgbPool::tasks_queued)
      .def("__repr__", [](const RgbPool& p) {
        return "<_RgbPool max_workers=" + std::to_string(p.max_workers()) + ">";
      });

  m.def(
      "_rgb_pool",
      [](int64_t n) -> RgbPool* {
        if (!rgb_pool_current() && n < 1)
          throw ValueError("the RGB pool needs at least one worker, got " + std::to_string(n));
        py::gil_scoped_release nogil;
        return &rgb_pool(n);
      },
      py::arg("n"), py::return_value_policy::reference,
      "The process-wide pool, created with at most n workers if it does not exist yet.");

  py::class_<RgbPoolLockHandle>(m, "_RgbPoolLock")
      .def(
          "acquire",
          [](RgbPoolLockHandle&, bool blocking, double timeout) {
            if (!blocking && timeout != -1)
              throw ValueError("can't specify a timeout for a non-blocking call");
            if (timeout < 0 && timeout != -1)
              throw ValueError("timeout value must be a non-negative number");
            if (!blocking) return rgb_pool_lock().try_lock();
            py::gil_scoped_release nogil;
            if (timeout == -1) {
              rgb_pool_lock().lock();
              return true;
            }
            return rgb_pool_lock().try_lock_for(std::chrono::duration<double>(timeout));
          },
          py::arg("blocking") = true, py::arg("timeout") = -1.0)
      .def("release", [](RgbPoolLockHandle&) { rgb_pool_lock().unlock(); })
      .def("locked", [](RgbPoolLockHandle&) { return rgb_pool_lock().locked(); })
      .def("__enter__",
           [](RgbPoolLockHandle&) {
             py::gil_scoped_release nogil;
             rgb_pool_lock().lock();
             return true;
           })
      .def("__exit__", [](RgbPoolLockHandle&, py::args) { rgb_pool_lock().unlock(); });
  m.attr("_RGB_POOL_LOCK") = py::cast(RgbPoolLockHandle{});

  py::class_<RgbTlsHandle>(m, "_RgbTls")
      .def("has_planar", [](RgbTlsHandle&) { return rgb_thread_has_planar(); },
           "Whether the calling thread has its planar conversion scratch.");
  m.attr("_RGB_TLS") = py::cast(RgbTlsHandle{});

  // _RGB_POOL is looked up live (the pool appears on first use), through the module's
  // __getattr__; a __getattr__ installed earlier keeps serving every other name.
  py::object previous = py::getattr(m, "__getattr__", py::none());
  std::string module_name = py::str(m.attr("__name__"));
  m.attr("__getattr__") = py::cpp_function(
      [previous, module_name](py::str name) -> py::object {
        std::string n = name;
        if (n == "_RGB_POOL") {
          RgbPool* p = rgb_pool_current();
          if (!p) return py::none();
          return py::cast(p, py::return_value_policy::reference);
        }
        if (!previous.is_none()) return previous(name);
        throw py::attribute_error("module " + std::string(py::repr(py::str(module_name))) +
                                  " has no attribute " + std::string(py::repr(name)));
      },
      py::arg("name"));
}

}  // namespace quorvane::m2::bind

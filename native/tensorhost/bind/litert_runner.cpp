// ModelRunner over the installed ai_edge_litert package: one Interpreter per model file and its
// signature runners, called through the Python API (the wheel ships no C API headers). Every entry
// takes the interpreter lock itself, so the core may call in with the lock released; the runtime
// releases it again while a signature is invoked.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <fcntl.h>

#include <cerrno>
#include <utility>

#include "tensorhost/bind/common.h"
#include "tensorhost/bind/litert.h"
#include "tensorhost/fsops.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2::bind {

namespace {

/// A Python object held by the core: released under the lock, whichever thread drops it last.
class PyRef {
 public:
  explicit PyRef(py::object obj) : held_(hold_py(std::move(obj))) {}
  /// A new reference; needs the lock.
  py::object get() const {
    return py::reinterpret_borrow<py::object>(static_cast<PyObject*>(const_cast<void*>(held_.get())));
  }

 private:
  std::shared_ptr<const void> held_;
};

/// A result array as a FloatTensor. The runtime hands out fresh arrays that own their data; those
/// are wrapped as they are (the tensor's owner holds the array). Anything else (another dtype, a
/// view, a read-only or non-contiguous array) is copied once into a new float32 array, so that no
/// later invocation can reach the storage of a result already handed out.
FloatTensor wrap_result(py::handle value) {
  py::array arr = py::reinterpret_borrow<py::object>(value).cast<py::array>();
  const int flags = py::detail::array_proxy(arr.ptr())->flags;
  const bool own = (flags & py::detail::npy_api::NPY_ARRAY_OWNDATA_) != 0;
  const bool writable = (flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_) != 0;
  const bool contiguous = (flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0;
  if (!(own && writable && contiguous && py::isinstance<py::array_t<float>>(arr))) {
    arr = py::module_::import("numpy").attr("array")(arr, py::arg("dtype") = py::dtype::of<float>(),
                                                      py::arg("order") = "C", py::arg("copy") = true);
  }
  FloatTensor t;
  t.data = static_cast<float*>(arr.mutable_data());
  t.shape.assign(arr.shape(), arr.shape() + arr.ndim());
  t.writable = true;
  t.owner = hold_py(std::move(arr));
  return t;
}

class LitertSignature final : public SignatureRunner {
 public:
  explicit LitertSignature(py::object runner) : runner_(std::move(runner)) {}

  std::vector<InputDetail> input_details() const override {
    py::gil_scoped_acquire gil;
    std::vector<InputDetail> out;
    py::dict details = runner_.get().attr("get_input_details")();
    for (auto item : details) {
      InputDetail d;
      d.name = item.first.cast<std::string>();
      for (auto dim : item.second[py::str("shape")]) d.shape.push_back(dim.cast<int64_t>());
      out.push_back(std::move(d));
    }
    return out;
  }

  std::vector<NamedTensor> invoke(const std::vector<NamedTensor>& inputs) override {
    py::gil_scoped_acquire gil;
    py::dict kwargs;
    for (const auto& in : inputs) {
      // A read-only view of the caller's buffer: the runtime copies it into its input tensor.
      kwargs[py::str(in.name)] = to_numpy(in.tensor, /*readonly=*/true);
    }
    py::dict result = runner_.get()(**kwargs);
    std::vector<NamedTensor> out;
    for (auto item : result) out.push_back({item.first.cast<std::string>(), wrap_result(item.second)});
    return out;
  }

  py::object handle() const { return runner_.get(); }

 private:
  PyRef runner_;
};

class LitertModel final : public ModelRunner {
 public:
  explicit LitertModel(py::object interpreter) : it_(std::move(interpreter)) {}

  std::vector<std::string> signatures() const override {
    py::gil_scoped_acquire gil;
    std::vector<std::string> names;
    py::dict sigs = it_.get().attr("get_signature_list")();
    for (auto item : sigs) names.push_back(item.first.cast<std::string>());
    return names;
  }

  std::shared_ptr<SignatureRunner> signature_runner(const std::string& name) override {
    py::gil_scoped_acquire gil;
    return std::make_shared<LitertSignature>(it_.get().attr("get_signature_runner")(name));
  }

  py::object handle() const { return it_.get(); }

 private:
  PyRef it_;
};

}  // namespace

void install_litert_runner_factory() {
  set_runner_factory([](const std::string& path, int64_t threads) -> std::unique_ptr<ModelRunner> {
    py::gil_scoped_acquire gil;
    py::object cls = py::module_::import("ai_edge_litert.interpreter").attr("Interpreter");
    // The runtime takes a model path as UTF-8 text only. A file whose path is not is handed over
    // as /dev/fd/N of a descriptor of our own: the same file, for as long as the interpreter is
    // built (it maps the file then, and keeps no name).
    UniqueFd held;
    std::string given = path;
    if (!is_strict_utf8(path)) {
      held = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!held.valid()) throw ModelRefused(path, "OSError", os_error_text(OSError(errno, path)));
      given = "/dev/fd/" + std::to_string(held.get());
    }
    try {
      py::object it = cls(py::arg("model_path") = fs_str(given), py::arg("num_threads") = threads);
      // Before any runner exists: the runtime refuses to reallocate once one holds its tensors.
      it.attr("allocate_tensors")();
      return std::make_unique<LitertModel>(std::move(it));
    } catch (py::error_already_set& e) {
      // What the runtime says of a file it cannot take (no flatbuffer, an empty file, ops it
      // cannot prepare); anything else (an interrupt, no memory) is not about the file.
      if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RuntimeError)) throw;
      throw ModelRefused(path, py::str(e.type().attr("__name__")), fs_bytes(py::str(e.value())));
    }
  });
}

py::object py_handle(const ModelRunner& m) {
  if (auto* lm = dynamic_cast<const LitertModel*>(&m)) return lm->handle();
  return py::none();
}

py::object py_handle(const SignatureRunner& r) {
  if (auto* lr = dynamic_cast<const LitertSignature*>(&r)) return lr->handle();
  return py::none();
}

}  // namespace quorvane::m2::bind

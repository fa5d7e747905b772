// Python names of the model chain: LitertChain over the installed LiteRT runtime.
//
// Held as std::shared_ptr<LitertChain>, so another binding can take the C++ chain (as a Chain)
// out of a Python LitertChain. `_its` lists the ai_edge_litert Interpreter objects, and `enc`,
// `tok`, `step`, `dec16`, `dec8` are the ai_edge_litert SignatureRunner objects the chain calls.
#include <string>
#include <vector>

#include "tensorhost/bind/common.h"
#include "tensorhost/bind/litert.h"
#include "tensorhost/chain/chain.h"
#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2::bind {

namespace {

std::string type_name(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

/// One path, or an ordered iterable of paths, as a list of path texts.
std::vector<std::string> path_list(py::handle obj) {
  py::object path_like = py::module_::import("os").attr("PathLike");
  if (py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj) || py::isinstance(obj, path_like)) {
    return {fs_bytes(obj)};
  }
  if (!py::isinstance<py::iterable>(obj)) {
    throw TypeError("tflite_paths must be a path or a list of paths, got " + type_name(obj));
  }
  std::vector<std::string> out;
  for (auto item : obj) out.push_back(fs_bytes(item));
  return out;
}

/// A float32 array passed to the runtime as it is: no type conversion (a non-contiguous array is
/// made contiguous, which keeps its values).
FloatTensor exact_f32(py::handle obj, const char* what) {
  if (!py::isinstance<py::array>(obj)) {
    throw TypeError(std::string(what) + " must be a float32 numpy array, got " + type_name(obj));
  }
  auto a = py::reinterpret_borrow<py::array>(obj);
  if (!py::isinstance<py::array_t<float>>(a)) {
    throw TypeError(std::string(what) + " must be float32, got " + std::string(py::str(a.dtype())));
  }
  return from_numpy_f32(a);
}

/// Any array-like of numbers as float32 (converted, copied only when needed).
FloatTensor any_f32(py::handle obj, const char* what) {
  py::array a = py::module_::import("numpy").attr("asarray")(obj);
  const char kind = a.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    throw TypeError(std::string(what) + " must be an array of numbers, got dtype " + std::string(py::str(a.dtype())));
  }
  return from_numpy_f32(a);
}

/// The history for shift_hist: it changes in place, so only the exact array layout will do.
FloatTensor history_in_place(py::handle obj) {
  if (!py::isinstance<py::array>(obj)) {
    throw TypeError("shift_hist: h must be a float32 numpy array, got " + type_name(obj));
  }
  auto a = py::reinterpret_borrow<py::array>(obj);
  if (!py::isinstance<py::array_t<float>>(a)) {
    throw TypeError("shift_hist: h must be float32, got " + std::string(py::str(a.dtype())));
  }
  if (!py::isinstance<py::array_t<float, py::array::c_style>>(a)) {
    throw ValueError("shift_hist: h must be C-contiguous (it is advanced in place)");
  }
  if (!a.writeable()) throw ValueError("shift_hist: h is read-only");
  return from_numpy_f32(a);
}

py::array frames_out(const FloatTensor& t) { return to_numpy(t, /*readonly=*/false); }

}  // namespace

void register_chain(py::module_& m) {
  install_litert_runner_factory();

  py::class_<LitertChain, std::shared_ptr<LitertChain>>(m, "LitertChain",
                                            "The five-signature LiteRT model chain of the host.")
      .def(py::init([](py::handle tflite_paths, py::object canon, int64_t threads) {
             auto paths = path_list(tflite_paths);
             // Converted only after loading and releasing, so that a bad canonical latent fails
             // once the staged copies are gone.
             LitertChain::CanonSource source = [&canon] { return any_f32(canon, "canon"); };
             return std::make_shared<LitertChain>(std::move(paths), source, threads);
           }),
           py::arg("tflite_paths"), py::arg("canon"), py::arg("threads"))
      .def_property_readonly("_its",
                             [](const LitertChain& c) {
                               py::list out;
                               for (const auto& it : c.interpreters()) out.append(py_handle(*it));
                               return out;
                             })
      .def_property_readonly("enc", [](const LitertChain& c) { return py_handle(*c.runner(LitertChain::ENC)); })
      .def_property_readonly("tok", [](const LitertChain& c) { return py_handle(*c.runner(LitertChain::TOK)); })
      .def_property_readonly("step", [](const LitertChain& c) { return py_handle(*c.runner(LitertChain::STEP)); })
      .def_property_readonly("dec16", [](const LitertChain& c) { return py_handle(*c.runner(LitertChain::DEC16)); })
      .def_property_readonly("dec8", [](const LitertChain& c) { return py_handle(*c.runner(LitertChain::DEC8)); })
      .def_property_readonly("_hist_key", &LitertChain::hist_key)
      .def_property_readonly("_atok_key", &LitertChain::atok_key)
      .def_property_readonly("canon", [](const LitertChain& c) { return to_numpy(c.canon(), false); })
      .def_property_readonly("_invocations",
                             [](const LitertChain& c) {
                               py::dict out;
                               for (size_t i = 0; i < SIGS.size(); ++i) {
                                 out[py::str(std::string(SIGS[i]))] = c.invocations()[i];
                               }
                               return out;
                             })
      .def("new_hist", [](LitertChain& c) { return to_numpy(c.new_hist(), false); })
      .def_static(
          "shift_hist",
          [](py::handle h, py::handle lat) {
            auto ht = history_in_place(h);
            auto lt = any_f32(lat, "shift_hist: lat");
            py::gil_scoped_release nogil;
            shift_history(ht, lt);
          },
          py::arg("h"), py::arg("lat"))
      .def(
          "run_enc",
          [](LitertChain& c, py::handle tempo) {
            auto t = exact_f32(tempo, "run_enc: tempo");
            FloatTensor out;
            {
              py::gil_scoped_release nogil;
              out = c.run_enc(t);
            }
            return to_numpy(out, false);
          },
          py::arg("tempo"))
      .def(
          "run_tok",
          [](LitertChain& c, py::handle feats) {
            auto f = exact_f32(feats, "run_tok: feats");
            FloatTensor out;
            {
              py::gil_scoped_release nogil;
              out = c.run_tok(f);
            }
            return to_numpy(out, false);
          },
          py::arg("feats"))
      .def(
          "run_step",
          [](LitertChain& c, py::handle hist, py::handle atok) {
            auto h = exact_f32(hist, "run_step: hist");
            auto a = exact_f32(atok, "run_step: atok");
            FloatTensor out;
            {
              py::gil_scoped_release nogil;
              out = c.run_step(h, a);
            }
            return to_numpy(out, false);
          },
          py::arg("hist"), py::arg("atok"))
      .def(
          "run_dec_frames",
          [](LitertChain& c, py::handle xs, int64_t n) {
            auto x = any_f32(xs, "run_dec_frames: xs");
            std::vector<FloatTensor> frames;
            {
              py::gil_scoped_release nogil;
              frames = c.run_dec_frames(x, n);
            }
            py::list out;
            for (const auto& f : frames) out.append(frames_out(f));
            return out;
          },
          py::arg("xs"), py::arg("n"))
      .def(
          "run_dec_batch",
          [](LitertChain& c, py::handle xs, int64_t n) {
            auto x = any_f32(xs, "run_dec_batch: xs");
            FloatTensor out;
            {
              py::gil_scoped_release nogil;
              out = c.run_dec_batch(x, n);
            }
            return frames_out(out);
          },
          py::arg("xs"), py::arg("n"));
}

}  // namespace quorvane::m2::bind

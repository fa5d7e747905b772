// Python names of the renderer: the native Renderer over the LiteRT chain or over any Python
// object with the chain's operations.
#include "tensorhost/bind/colour.h"
#include "tensorhost/bind/common.h"
#include "tensorhost/bind/pyrenderer.h"
#include "tensorhost/chain/chain.h"
#include "tensorhost/chain/renderer.h"
#include "tensorhost/kernels/colour.h"

namespace quorvane::m2::bind {

namespace {

// A chain given from Python (a test's recording fake, say). Every call takes the GIL; arrays
// cross as views, so a Python shift_hist advances the renderer's own history in place.
class PyChain final : public Chain {
 public:
  explicit PyChain(py::object c) : c_(std::move(c)) {}

  FloatTensor new_hist() override {
    py::gil_scoped_acquire gil;
    return writable_f32(c_.attr("new_hist")());
  }
  void shift_hist(FloatTensor& h, const FloatTensor& lat) override {
    py::gil_scoped_acquire gil;
    c_.attr("shift_hist")(to_numpy(h, false), to_numpy(lat, false));
  }
  FloatTensor run_enc(const FloatTensor& tempo) override { return call("run_enc", tempo); }
  FloatTensor run_tok(const FloatTensor& feats) override { return call("run_tok", feats); }
  FloatTensor run_step(const FloatTensor& hist, const FloatTensor& atok) override {
    py::gil_scoped_acquire gil;
    return from_numpy_f32(c_.attr("run_step")(to_numpy(hist, false), to_numpy(atok, false)));
  }
  std::vector<FloatTensor> run_dec_frames(const FloatTensor& xs, int64_t n) override {
    py::gil_scoped_acquire gil;
    std::vector<FloatTensor> out;
    for (auto f : c_.attr("run_dec_frames")(to_numpy(xs, false), n)) out.push_back(from_numpy_f32(py::reinterpret_borrow<py::object>(f)));
    return out;
  }
  FloatTensor run_dec_batch(const FloatTensor& xs, int64_t n) override {
    py::gil_scoped_acquire gil;
    return from_numpy_f32(c_.attr("run_dec_batch")(to_numpy(xs, false), n));
  }

 private:
  FloatTensor call(const char* name, const FloatTensor& a) {
    py::gil_scoped_acquire gil;
    return from_numpy_f32(c_.attr(name)(to_numpy(a, false)));
  }
  // The history is advanced in place, so it must be storage we may write: copy a read-only one.
  static FloatTensor writable_f32(const py::object& a) {
    FloatTensor t = from_numpy_f32(a);
    if (t.writable) return t;
    FloatTensor copy = FloatTensor::empty(t.shape);
    std::copy(t.data, t.data + t.size(), copy.data);
    return copy;
  }
  py::object c_;
};

// The Python face of a Renderer keeps the very chain and correction objects it was given.
struct BoundRenderer {
  py::object chain_obj;
  py::object cc_obj;
  std::unique_ptr<Renderer> r;
};

std::shared_ptr<Chain> chain_from_py(const py::object& chain) {
  if (py::isinstance<LitertChain>(chain)) return chain.cast<std::shared_ptr<LitertChain>>();
  return std::make_shared<PyChain>(chain);
}

// The renderer's append is the buffer's own: the same conversion, checks and overlap rule.
void feed_py(Renderer& r, const py::object& pcm) {
  append_pcm(*r.pcm, pcm);
  r.sync_audio();
}

template <class F>
py::list frames_call(BoundRenderer& b, F&& f) {
  std::vector<FramePair> frames;
  {
    py::gil_scoped_release nogil;
    frames = f(*b.r);
  }
  return frames_to_py(frames);
}

}  // namespace

Renderer* native_renderer(const py::object& obj) {
  // Exactly the native class: a Python subclass may override the operations the loop calls.
  if (!py::type::handle_of(obj).is(py::type::of<BoundRenderer>())) return nullptr;
  return obj.cast<BoundRenderer&>().r.get();
}

void register_renderer(py::module_& m) {
  py::class_<BoundRenderer>(m, "Renderer",
                            "Cuts a 16 kHz speech stream into chunks and renders numbered RGB888 frames.")
      .def(py::init([](py::object chain, py::object cc) {
             auto b = std::make_unique<BoundRenderer>();
             b->chain_obj = chain;
             b->cc_obj = cc;
             b->r = std::make_unique<Renderer>(chain_from_py(chain), color_correct_from_py(cc));
             return b;
           }),
           py::arg("chain"), py::arg("cc") = py::none())
      .def_property_readonly("chain", [](BoundRenderer& b) { return b.chain_obj; })
      .def_property_readonly("cc", [](BoundRenderer& b) { return b.cc_obj; })
      .def_property_readonly("rgb_threads", [](BoundRenderer& b) { return b.r->rgb_threads; })
      .def_property_readonly("_pcm", [](BoundRenderer& b) { return b.r->pcm; })
      .def_property_readonly("buf", [](BoundRenderer& b) { return to_numpy(b.r->buf, true); })
      .def_property_readonly("buf_base", [](BoundRenderer& b) { return b.r->buf_base; })
      .def_property_readonly("fed_samples", [](BoundRenderer& b) { return b.r->fed_samples; })
      .def_property_readonly("audio_compaction_samples", [](BoundRenderer& b) { return b.r->audio_compaction_samples; })
      .def_property_readonly("ci", [](BoundRenderer& b) { return b.r->ci; })
      .def_property_readonly("hist", [](BoundRenderer& b) { return to_numpy(b.r->hist, false); })
      .def_property_readonly("prev_lat", [](BoundRenderer& b) -> py::object {
        if (!b.r->prev_lat) return py::none();
        return to_numpy(*b.r->prev_lat, false);
      })
      .def_property_readonly("px_frame", [](BoundRenderer& b) { return b.r->px_frame; })
      .def_property_readonly("_c_wall", [](BoundRenderer& b) { return b.r->c_wall(); })
      .def_property_readonly("_c_n", [](BoundRenderer& b) { return b.r->c_n(); })
      .def("feed", [](BoundRenderer& b, const py::object& pcm) { feed_py(*b.r, pcm); }, py::arg("pcm"))
      .def("ready_chunks", [](BoundRenderer& b) { return frames_call(b, [](Renderer& r) { return r.ready_chunks(); }); })
      .def("flush_chunks", [](BoundRenderer& b) { return frames_call(b, [](Renderer& r) { return r.flush_chunks(); }); })
      .def("reset", [](BoundRenderer& b) {
        py::gil_scoped_release nogil;
        b.r->reset();
      })
      .def("rtf", [](BoundRenderer& b) { return b.r->rtf(); })
      .def_static("_need", &Renderer::need, py::arg("ci"))
      .def("_window", [](BoundRenderer& b, int64_t ci) { return to_numpy(b.r->window(ci), false); }, py::arg("ci"))
      .def("_process_chunk", [](BoundRenderer& b, int64_t ci) {
        return frames_call(b, [ci](Renderer& r) { return r.process_chunk(ci); });
      }, py::arg("ci"))
      .def("_trim_audio", [](BoundRenderer& b) { b.r->trim_audio(); })
      .def("_sync_audio", [](BoundRenderer& b) { b.r->sync_audio(); });
}

}  // namespace quorvane::m2::bind

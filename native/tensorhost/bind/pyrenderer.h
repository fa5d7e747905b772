// Adapters from Python objects to the core's protocol interfaces.
#pragma once

#include "tensorhost/bind/common.h"
#include "tensorhost/host/serve.h"

namespace quorvane::m2::bind {

/// Frame pairs from a Python sequence of (index, bytes-like) pairs. Each pixel buffer is held
/// (not copied) until the pair is dropped. Needs the GIL.
std::vector<FramePair> frames_from_py(const py::handle& seq);

/// Python frame pairs (index, read-only uint8 view) from core pairs. Needs the GIL.
py::list frames_to_py(const std::vector<FramePair>& frames);

/// Compact JSON of color_descriptor(cc) for a Python colour correction, "null" for None.
std::string color_json_of(py::module_ m, const py::object& cc);

}  // namespace quorvane::m2::bind
namespace quorvane::m2 {
class Renderer;
}
namespace quorvane::m2::bind {

/// The native renderer behind an object whose type is exactly Renderer, or null for any other
/// object (a Python subclass is served through its own methods).
quorvane::m2::Renderer* native_renderer(const py::object& obj);

/// Serves any Python object with the renderer's operations. Every call takes the GIL.
class PyServedRenderer : public ServedRenderer {
 public:
  PyServedRenderer(py::module_ m, py::object r) : m_(std::move(m)), r_(std::move(r)) {}
  std::string color_json() override;
  void feed(const FloatTensor& pcm) override;
  std::vector<FramePair> ready_chunks() override;
  std::vector<FramePair> flush_chunks() override;
  void reset() override;
  std::optional<double> rtf() override;
  int64_t c_n() override;
  double c_wall() override;

 private:
  py::module_ m_;
  py::object r_;
};

}  // namespace quorvane::m2::bind

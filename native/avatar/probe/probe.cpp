// quorvane._avatarprobe: the live avatar's clock and sync arithmetic, exposed one function at a
// time so the tests can hold it bit for bit against the same formulas on Python floats. It exists
// only for the tests; the live avatar reaches these functions from C++.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "avatar/playout_rule.h"
#include "avatar/sync_release.h"

namespace py = pybind11;
namespace av = quorvane::avatar;

PYBIND11_MODULE(_avatarprobe, m) {
  m.def("py_max", &av::py_max, py::arg("a"), py::arg("b"));
  m.def("ahead_seconds", &av::ahead_seconds, py::arg("chunk_frames"), py::arg("spt"), py::arg("sample_rate_hz"),
        py::arg("chunk0_frames"), py::arg("period_s"));
  m.def("audio_for", &av::audio_for, py::arg("frames"), py::arg("period_s"), py::arg("ahead_s"));
  m.def("next_due_after", &av::next_due_after, py::arg("next_due"), py::arg("period_s"), py::arg("now"),
        py::arg("catchup_s"));
  m.def(
      "first_chunk",
      [](double now, double t0, double got_s, double audio_for_ready_s) {
        const av::FirstChunk f = av::first_chunk(now, t0, got_s, audio_for_ready_s);
        return py::make_tuple(f.t_chunk0, f.lag0);
      },
      py::arg("now"), py::arg("t0"), py::arg("got_s"), py::arg("audio_for_ready_s"));
  m.def("chunk1_make_s", &av::chunk1_make_s, py::arg("steady_s"), py::arg("r0_s"), py::arg("lag0"),
        py::arg("r1_factor"));
  m.def(
      "chunk1_in_time",
      [](double now, double ready, double period_s, double t0, double got_s, std::optional<double> t_end,
         double need1_s, double t_chunk0, double r1_s, double margin_s) {
        return av::chunk1_in_time({now, ready, period_s, t0, got_s, t_end, need1_s, t_chunk0, r1_s, margin_s});
      },
      py::arg("now"), py::arg("ready"), py::arg("period_s"), py::arg("t0"), py::arg("got_s"), py::arg("t_end"),
      py::arg("need1_s"), py::arg("t_chunk0"), py::arg("r1_s"), py::arg("margin_s"));
  m.def("queued_seconds", &av::queued_seconds, py::arg("raw"));
  m.def("picture_release", &av::picture_release, py::arg("now"), py::arg("queued_s"), py::arg("voice_s"),
        py::arg("lead_s"));
  m.def("hold_timeout", &av::hold_timeout, py::arg("release"), py::arg("now"));
}

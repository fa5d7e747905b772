// The areas of quorvane._open's avatar API, each registered by its own binding file.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvane::open::bind {

namespace py = pybind11;

/// _SAMPLE_RATE, _pcm, _pcm_pieces, _decode, _whole_clip, _chunks, _expected_frames.
void register_audio(py::module_& m);
/// Whether `obj` names an audio file: a str or an os.PathLike.
bool is_path_like(py::handle obj);
/// What a render makes of the caller's `audio`, asking for its iterator once: the PCM of a
/// single object, or None, with `items` set to the iterator when `audio` is a stream. Refused as
/// _whole_clip refuses it; an error of the caller's own iterator is `Failed` from that error.
py::object render_clip(py::object audio, py::object& items);
/// The frames `length` bytes of PCM should give at `fps` (`_expected_frames` of a clip of that
/// length): None when `fps` is false or the count is below one.
py::object expected_frames_of(const py::int_& length, py::handle fps);
/// RenderStats, _RenderClock, Avatar, _SHORT_FRAC.
void register_avatar(py::module_& m);
/// _QUIET, _SessionEngine.
void register_session_engine(py::module_& m);
/// _FixtureEngine, _corvine1_runtime_present.
void register_fixture_engine(py::module_& m);
/// _CODE, the engine-id sets, open and the engine builders.
void register_open(py::module_& m);

}  // namespace quorvane::open::bind

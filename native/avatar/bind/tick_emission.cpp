// AsyncAvatar's tick emission: `_emit_ready_ticks` makes one pass over the utterance buffer (feed
// the runtime what it has not seen, streaming mode; count the ticks that may go out; one frame per
// tick with its picture and its tick of voice), and `_drain_v2_tail` ends an utterance on a v2
// engine by running passes until every speech tick is out or the runtime stalls.
#include <pybind11/numpy.h>

#include <cstdint>
#include <string>

#include "avatar/bind/producer_parts.h"
#include "avatar/bind/support.h"
#include "avatar/feed_time.h"
#include "avatar/pcm_convert.h"
#include "avatar/tick_plan.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind {

namespace {

// pcm_buf[start:stop], either bound None.
py::object sliced(py::handle arr, py::handle start, py::handle stop) {
  py::object s = owned(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  return owned(PyObject_GetItem(arr.ptr(), s.ptr()));
}

/// The utterance buffer as the native tick-voice code reads it: a C-contiguous float32 1-D
/// array (a view when the buffer already is one); `native` is false when NumPy has to do the
/// work (another dtype or shape, or an INT16_MAX that is not a plain number).
struct VoiceSource {
  py::object arr;  // keeps `data` alive
  const float* data = nullptr;
  std::size_t size = 0;
  float scale = 0.0f;
  bool native = false;

  explicit VoiceSource(py::handle pcm_buf) {
    py::object np = global("np");
    if (!py::isinstance<py::array>(pcm_buf) || !equal(pcm_buf.attr("dtype"), np.attr("float32")) ||
        as_int(pcm_buf.attr("ndim")) != 1 || !int16_scale(scale)) {
      return;
    }
    auto contiguous = py::reinterpret_steal<py::array_t<float, py::array::c_style>>(
        np.attr("ascontiguousarray")(pcm_buf).release());
    data = contiguous.data();
    size = static_cast<std::size_t>(contiguous.size());
    arr = std::move(contiguous);
    native = true;
  }
};

// The tick's voice: pcm_buf[start:start + spt], zero-padded to spt, clipped to [-1, 1], times
// INT16_MAX and truncated to int16.
py::object tick_voice_of(const VoiceSource& src, py::handle pcm_buf, std::int64_t start, std::int64_t spt) {
  if (src.native && start >= 0 && spt >= 0) {
    py::array_t<std::int16_t> out(static_cast<py::ssize_t>(spt));
    const std::size_t invalid = tick_voice(src.data, src.size, static_cast<std::size_t>(start),
                                           static_cast<std::size_t>(spt), src.scale, out.mutable_data());
    warn_invalid_cast(invalid);
    return out;
  }
  py::object np = global("np");
  py::object slice_f32 = sliced(pcm_buf, py::int_(start), py::int_(start + spt));
  const std::int64_t got = array_size(slice_f32);
  if (got < spt) {
    py::list parts;
    parts.append(slice_f32);
    parts.append(np.attr("zeros")(spt - got, py::arg("dtype") = np.attr("float32")));
    slice_f32 = np.attr("concatenate")(parts);
  }
  py::object clipped = np.attr("clip")(slice_f32, -1.0, 1.0);
  return owned(PyNumber_Multiply(clipped.ptr(), global("INT16_MAX").ptr())).attr("astype")(np.attr("int16"));
}

py::object tick_frame(py::handle bgr, py::handle voice, std::int64_t tick_idx, py::handle message_id, py::handle is_last) {
  py::dict ac;
  ac["data"] = voice;
  ac["sample_rate"] = global("_SAMPLE_RATE_HZ");
  ac["last_chunk"] = is_last;
  py::dict vf;
  vf["bgr_image"] = bgr;
  vf["audio_chunk"] = global("AudioChunk")(**ac);
  vf["frame_index"] = tick_idx;
  vf["source_message_id"] = message_id;
  vf["end_of_speech"] = is_last;
  return global("VideoFrame")(**vf);
}

// The runtime's own position past the end of the buffer: the pass is over, not failed.
bool is_past_end(const py::error_already_set& e) {
  if (!e.matches(PyExc_ValueError)) return false;
  const std::string text = py::str(e.value());
  return text.find("cursor past end") != std::string::npos || text.find("status=6") != std::string::npos;
}

// The feed-time estimate after a feed that made new ticks: the first one of an utterance is kept
// as _m2_r0, each later one moves the smoothed _m2_steady_s.
void note_feed_time(py::handle self, py::object dur) {
  if (getattr_or(self, "_m2_r0", py::none()).is_none()) {
    py::setattr(self, "_m2_r0", dur);
    return;
  }
  py::object prev = getattr_or(self, "_m2_steady_s", py::none());
  if (prev.is_none()) {
    py::setattr(self, "_m2_steady_s", dur);
    return;
  }
  const double prev_s = py::float_(prev);
  const double dur_s = py::float_(dur);
  py::setattr(self, "_m2_steady_s", py::float_(smoothed_feed_time(prev_s, dur_s)));
}

pb::Coroutine emit_ready_ticks(py::object self, py::object rt, py::object pcm_buf, py::object spt_obj, py::object out_size,
                               py::object ticks_emitted_obj, py::object message_id, py::object eos_padding,
                               py::object tail_total, py::object mark_last) {
  const bool streaming = out_size.is_none();
  const std::int64_t spt = as_int(spt_obj);
  const std::int64_t ticks_emitted = as_int(ticks_emitted_obj);

  // On a mirrant-2 stream no feed exceeds one slice, and the ticks each slice makes ready go out
  // before the next slice is fed.
  if (streaming && truthy(self.attr("_is_m2_stream")())) {
    std::int64_t early = 0;
    for (;;) {
      const std::int64_t pushed = as_int(self.attr("_stream_pushed"));
      const std::int64_t slice_samples = as_int(global("_M2_FEED_SLICE_SAMPLES"));
      if (!(array_size(pcm_buf) - pushed > slice_samples)) break;
      if (event_is_set(self.attr("_stop_event"))) break;
      if (event_is_set(self.attr("_interrupt_event"))) break;
      pb::Held kw = py::dict();
      kw["rt"] = rt;
      kw["pcm_buf"] = sliced(pcm_buf, py::none(), py::int_(pushed + slice_samples));
      kw["spt"] = spt_obj;
      kw["out_size"] = out_size;
      kw["ticks_emitted"] = ticks_emitted + early;
      kw["message_id"] = message_id;
      kw["eos_padding"] = false;
      kw["mark_last"] = false;
      py::object got = co_await pb::awaited([&] { return self.attr("_emit_ready_ticks")(**kw); });
      early += as_int(got);
    }
    if (early != 0) {
      pb::Held kw = py::dict();
      kw["rt"] = rt;
      kw["pcm_buf"] = pcm_buf;
      kw["spt"] = spt_obj;
      kw["out_size"] = out_size;
      kw["ticks_emitted"] = ticks_emitted + early;
      kw["message_id"] = message_id;
      kw["eos_padding"] = eos_padding;
      kw["tail_total"] = tail_total;
      kw["mark_last"] = mark_last;
      py::object rest = co_await pb::awaited([&] { return self.attr("_emit_ready_ticks")(**kw); });
      co_return owned(PyNumber_Add(py::int_(early).ptr(), rest.ptr()));
    }
  }

  if (streaming && array_size(pcm_buf) > as_int(self.attr("_stream_pushed"))) {
    // Speech that a barge-in or a stop abandoned is never fed: it would only delay what follows.
    const bool m2 = truthy(self.attr("_is_m2_stream")());
    if (m2 && !stopped_or_interrupted(self)) {
      co_await pb::awaited([&] { return self.attr("_await_playout_room")(); });
    }
    if (stopped_or_interrupted(self)) co_return py::int_(0);
    {
      const std::int64_t pushed = as_int(self.attr("_stream_pushed"));
      py::object np = global("np");
      pb::Held new_pcm = np.attr("ascontiguousarray")(sliced(pcm_buf, py::int_(pushed), py::none()),
                                                      py::arg("dtype") = np.attr("float32"));
      const std::int64_t had = m2 ? as_int(rt.attr("ticks_available")()) : 0;
      py::object t_feed = monotonic_obj();
      co_await pb::awaited([&] { return self.attr("_engine")(rt.attr("push_audio"), new_pcm); });
      if (m2 && as_int(rt.attr("ticks_available")()) > had) {
        py::object dur = owned(PyNumber_Subtract(monotonic_obj().ptr(), t_feed.ptr()));
        note_feed_time(self, dur);
      }
      self.attr("_stream_pushed") = array_size(pcm_buf);
    }
  }

  const std::int64_t lookback = as_int(global("_LOOKBACK_TICKS"));
  const bool eos = truthy(eos_padding);
  std::int64_t n = 0;
  if (streaming) {
    const std::int64_t available = as_int(rt.attr("ticks_available")());
    if (!eos) check_tick_divisor(spt);
    const bool has_tail = !tail_total.is_none();
    n = streaming_ticks_to_emit(available, array_size(pcm_buf), spt, lookback, ticks_emitted, eos, has_tail,
                                has_tail && eos ? as_int(tail_total) : 0);
  } else if (eos) {
    if (tail_total.is_none()) raise_assertion();
    n = as_int(tail_total) - ticks_emitted;
  } else {
    check_tick_divisor(spt);
    n = ticks_ready(array_size(pcm_buf), spt, lookback, ticks_emitted);
  }
  if (n <= 0) co_return py::int_(0);

  const VoiceSource voice_src(pcm_buf);
  std::int64_t emitted = 0;
  for (std::int64_t k = 0; k < n; ++k) {
    if (stopped_or_interrupted(self)) co_return py::int_(emitted);
    const std::int64_t tick_idx = ticks_emitted + k;
    py::object voice = tick_voice_of(voice_src, pcm_buf, tick_idx * spt, spt);
    py::object result;
    if (streaming) {
      result = co_await pb::awaited([&] { return self.attr("_engine")(rt.attr("pull_frame"), -1); });
    } else {
      py::int_ tw(as_int(out_size[py::int_(0)]));
      py::int_ th(as_int(out_size[py::int_(1)]));
      bool past_end = false;
      try {
        result = rt.attr("tick_compose_to_size")(pcm_buf, -1, tw, th);
      } catch (py::error_already_set& e) {
        if (!is_past_end(e)) throw;
        past_end = true;
      }
      if (past_end) co_return py::int_(emitted);
    }
    py::object bgr = unpack_pair(result).second;
    // `mark_last and eos_padding and <this is the last tick>`, operands kept as Python's `and`
    // keeps them.
    py::object is_last;
    if (!truthy(mark_last)) {
      is_last = mark_last;
    } else if (!eos) {
      is_last = eos_padding;
    } else {
      is_last = py::bool_(streaming ? k == n - 1 : tick_idx == as_int(tail_total) - 1);
    }
    co_await pb::awaited([&] { return self.attr("_emit_out")(tick_frame(bgr, voice, tick_idx, message_id, is_last)); });
    ++emitted;
  }
  co_return py::int_(emitted);
}

pb::Coroutine drain_v2_tail(py::object self, py::object rt, py::object pcm_buf, py::object spt, py::object ticks_emitted_obj,
                            py::object tail_total_obj, py::object message_id) {
  // Always streaming passes that never mark a last frame: the producer sends its own
  // end-of-speech frame after the drain.
  auto pass = [&](std::int64_t from) {
    py::dict kw;
    kw["ticks_emitted"] = from;
    kw["rt"] = rt;
    kw["pcm_buf"] = pcm_buf;
    kw["spt"] = spt;
    kw["out_size"] = py::none();
    kw["message_id"] = message_id;
    kw["eos_padding"] = true;
    kw["tail_total"] = tail_total_obj;
    kw["mark_last"] = false;
    return self.attr("_emit_ready_ticks")(**kw);
  };
  const std::int64_t ticks_emitted = as_int(ticks_emitted_obj);
  const std::int64_t tail_total = as_int(tail_total_obj);
  std::int64_t emitted = as_int(co_await pb::awaited([&] { return pass(ticks_emitted); }));
  // An utterance that a barge-in or a stop abandoned is not rendered to its end.
  if (stopped_or_interrupted(self)) co_return py::int_(emitted);
  try {
    co_await pb::awaited([&] { return self.attr("_engine")(rt.attr("end_utterance")); });
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
  auto next_deadline = [] { return owned(PyNumber_Add(monotonic_obj().ptr(), global("_V2_DRAIN_STALL_S").ptr())); };
  py::object deadline = next_deadline();
  while (ticks_emitted + emitted < tail_total) {
    if (event_is_set(self.attr("_stop_event"))) break;
    if (event_is_set(self.attr("_interrupt_event"))) break;
    const std::int64_t n = as_int(co_await pb::awaited([&] { return pass(ticks_emitted + emitted); }));
    if (n != 0) {
      emitted += n;
      deadline = next_deadline();
      continue;
    }
    if (monotonic_obj() > deadline) break;
    py::object wait_s = owned(PyNumber_TrueDivide(py::float_(1.0).ptr(), py::object(self.attr("_engine_fps")).ptr()));
    co_await pb::awaited([&] { return global("asyncio").attr("sleep")(wait_s); });
  }
  co_return py::int_(emitted);
}

}  // namespace

void register_tick_emission(py::module_&, py::object cls) {
  pb::def_method(cls, "_emit_ready_ticks", &emit_ready_ticks, py::kw_only(), py::arg("rt"), py::arg("pcm_buf"),
                 py::arg("spt"), py::arg("out_size"), py::arg("ticks_emitted"), py::arg("message_id"),
                 py::arg("eos_padding"), py::arg("tail_total") = py::none(), py::arg("mark_last") = true);
  pb::def_method(cls, "_drain_v2_tail", &drain_v2_tail, py::kw_only(), py::arg("rt"), py::arg("pcm_buf"), py::arg("spt"),
                 py::arg("ticks_emitted"), py::arg("tail_total"), py::arg("message_id"));
}

}  // namespace quorvane::avatar::bind

// AsyncAvatar's frame producer: the task that takes controls off the input queue, keeps the
// current utterance's speech in one float32 buffer, has the tick passes turn it into frames,
// closes each utterance with a padded tail and an end-of-speech mark, sends idle pictures while
// nobody speaks (streaming mode), and always ends the stream with `_STREAM_END`. Also the small
// members around it: starting the tasks, a clean runtime per utterance, the two stream-kind tests,
// where items go, and the one engine thread for blocking runtime calls.
#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>

#include "avatar/bind/producer_parts.h"
#include "avatar/bind/support.h"
#include "avatar/pcm_convert.h"
#include "avatar/playout_rule.h"
#include "avatar/tick_plan.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind {

namespace {

constexpr const char* kNotReady = "AsyncAvatar: no fixture loaded. Call create(model_path=...).";
constexpr const char* kProducerTask = "quorvane-corvine-async-producer";
constexpr const char* kClockTask = "quorvane-m2-playout-clock";

py::object create_task(py::handle coro, const char* name) {
  return global("asyncio").attr("create_task")(coro, py::arg("name") = name);
}

pb::Coroutine ensure_running(py::object self) {
  if (self.attr("_fixture").is_none() || self.attr("_runtime").is_none()) {
    pb::raise_new(global("RuntimeNotReadyError"), py::make_tuple(kNotReady));
  }
  if (truthy(self.attr("_running"))) co_return py::none();
  // What the output queue still holds belongs to a run that has ended. stop() empties it itself,
  // but cleanup() hands its end marker to a consumer that may never come, and the producer it
  // cancelled still puts one of its own: left there, either would end the next run at once.
  empty_queue(self.attr("_out_queue"));
  py::object asyncio = global("asyncio");
  self.attr("_stop_event") = asyncio.attr("Event")();
  self.attr("_interrupt_event") = asyncio.attr("Event")();
  self.attr("_running") = true;
  if (truthy(self.attr("_is_m2_stream")())) {
    self.attr("_playout") = asyncio.attr("Queue")();
    self.attr("_playout_reset") = false;
    self.attr("_playout_room") = asyncio.attr("Event")();
    self.attr("_playout_backlog") = 0;
    self.attr("_emitter_task") = create_task(self.attr("_emit_clock")(), kClockTask);
  }
  self.attr("_producer_task") = create_task(self.attr("_produce_frames")(), kProducerTask);
  co_return py::none();
}

bool is_m2_stream(py::object self) {
  py::object engine_m2 = import_from("quorvane.unified_header", "ENGINE_MIRRANT2");
  if (!equal(getattr_or(self, "_engine_id", py::none()), engine_m2)) return false;
  return self.attr("_output_size").is_none();
}

bool is_v2_stream(py::object self) {
  py::object is_v2_engine = import_from("quorvane.unified_header", "is_v2_engine");
  return truthy(is_v2_engine(getattr_or(self, "_engine_id", py::none())));
}

py::object fresh_runtime(py::object self, py::object fx) {
  if (truthy(self.attr("_is_v2_stream")())) {
    // v2 runtimes are reset in place: building one anew is the costly part of these engines.
    py::object rt = self.attr("_runtime");
    try {
      rt.attr("reset_stream")();
    } catch (...) {
      py::object e = caught_exception();
      if (!is_exception(e)) pb::raise_instance(e);
      global("_log").attr("warning")("quorvane: could not reset the engine between utterances (%s: %s)",
                                     type_name(e), e);
    }
    return rt;
  }
  return global("_core").attr("Runtime")(fx);
}

pb::Coroutine emit_out(py::object self, py::object item) {
  // Until the producer takes a barge-in (it clears the event then), every frame it makes belongs
  // to the utterance the barge-in dropped.
  if (event_is_set(self.attr("_interrupt_event")) && is_instance(item, global("VideoFrame"))) co_return py::none();
  pb::Held playout = self.attr("_playout");
  if (!playout.is_none()) {
    co_await pb::awaited([&] { return playout.attr("put")(item); });  // unbounded: lands at once
  } else {
    co_await pb::awaited([&] { return put_unless_interrupted(self, self.attr("_out_queue"), item); });
  }
  co_return py::none();
}

// The stream's end marker, put without waiting: the producer is being cancelled or closed, and a
// full queue that nobody reads must not hold that back. A full queue gives up its oldest frame for
// it (the stream is ending); an error item keeps its place, and a queue full of items that are
// not frames, an error among them, needs no marker: the error ends the stream where it is read.
void end_stream_now(py::handle self) {
  py::object playout = self.attr("_playout");
  py::object q = playout.is_none() ? py::object(self.attr("_out_queue")) : playout;
  py::object end = global("_STREAM_END");
  try {
    if (truthy(q.attr("full")())) {
      bool dropped = false;
      bool error_queued = false;
      keep_in_queue(q, [&](py::handle it) {
        error_queued = error_queued || PyExceptionInstance_Check(it.ptr());
        if (dropped || !is_instance(it, global("VideoFrame"))) return true;
        dropped = true;
        return false;
      });
      if (!dropped && error_queued) return;
      if (!dropped) q.attr("get_nowait")();
    }
    q.attr("put_nowait")(end);
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
}

pb::Coroutine engine(py::object self, py::object fn, py::args args) {
  if (self.attr("_engine_executor").is_none()) {
    py::object pool = global("concurrent").attr("futures").attr("ThreadPoolExecutor");
    self.attr("_engine_executor") = pool(py::arg("max_workers") = 1, py::arg("thread_name_prefix") = "quorvane-engine");
  }
  // The job is kept, so that a teardown can tell whether one is in flight on the engine thread.
  py::object job = self.attr("_engine_executor").attr("submit")(fn, *args);
  self.attr("_engine_job") = job;
  track_engine_call(self, job, self.attr("_runtime"));
  pb::Held fut = engine_call_waiter(job);
  job = py::object();
  py::object r = co_await pb::awaited(fut);
  co_return r;
}

// ---- pieces of the producer loop that never wait --------------------------------------------

py::object zeros_i16(std::int64_t n) {
  py::object np = global("np");
  return np.attr("zeros")(n, py::arg("dtype") = np.attr("int16"));
}

py::object audio_chunk(py::handle data, bool last_chunk) {
  py::dict kw;
  kw["data"] = data;
  kw["sample_rate"] = global("_SAMPLE_RATE_HZ");
  kw["last_chunk"] = last_chunk;
  return global("AudioChunk")(**kw);
}

// The idle picture's frame: one tick of silence, every other field at its record default.
py::object idle_frame(py::handle bgr, std::int64_t spt) {
  py::dict kw;
  kw["bgr_image"] = bgr;
  kw["audio_chunk"] = audio_chunk(zeros_i16(spt), false);
  return global("VideoFrame")(**kw);
}

py::object eos_frame(std::int64_t ticks_emitted, py::handle message_id) {
  py::dict kw;
  kw["bgr_image"] = py::none();
  kw["audio_chunk"] = py::none();
  kw["frame_index"] = ticks_emitted;
  kw["source_message_id"] = message_id;
  kw["end_of_speech"] = true;
  return global("VideoFrame")(**kw);
}

py::object source_frame_or_none(py::handle rt) {
  try {
    return rt.attr("get_source_frame")(-1);
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
  return py::none();
}

// (resampled * INT16_MAX).astype(np.int16): no clipping, a plain cast.
py::object scaled_to_int16(py::handle resampled) {
  py::object np = global("np");
  float scale = 0.0f;
  if (py::isinstance<py::array_t<float>>(resampled) && equal(resampled.attr("dtype"), np.attr("float32")) &&
      int16_scale(scale)) {
    auto in = py::reinterpret_steal<py::array_t<float, py::array::c_style>>(np.attr("ascontiguousarray")(resampled).release());
    std::vector<py::ssize_t> shape(in.shape(), in.shape() + in.ndim());
    py::array_t<std::int16_t> out(shape);
    const std::size_t invalid =
        float_to_int16_unclipped(in.data(), static_cast<std::size_t>(in.size()), scale, out.mutable_data());
    warn_invalid_cast(invalid);
    return out;
  }
  return owned(PyNumber_Multiply(resampled.ptr(), global("INT16_MAX").ptr())).attr("astype")(np.attr("int16"));
}

// The control's audio as 16 kHz int16 samples, resampled when it comes at another rate.
py::object intake_int16(py::handle audio) {
  py::object np = global("np");
  py::object pcm_i16 = np.attr("ascontiguousarray")(audio.attr("data"), py::arg("dtype") = np.attr("int16"));
  py::object sr_hz = global("_SAMPLE_RATE_HZ");
  if (!equal(audio.attr("sample_rate"), sr_hz)) {
    py::object tmp_f32 = global("_i16_to_f32")(pcm_i16);
    tmp_f32 = global("_resample_linear")(tmp_f32, audio.attr("sample_rate"), sr_hz);
    pcm_i16 = scaled_to_int16(tmp_f32);
  }
  return pcm_i16;
}

py::object concatenate(py::handle a, py::handle b) {
  py::list parts;
  parts.append(a);
  parts.append(b);
  return global("np").attr("concatenate")(parts);
}

// pcm_buf extended with float32 zeros to exactly `target` samples, as one new array.
py::object zero_extended(py::handle pcm_buf, std::int64_t target) {
  py::object np = global("np");
  const std::int64_t n = array_size(pcm_buf);
  if (py::isinstance<py::array>(pcm_buf) && equal(pcm_buf.attr("dtype"), np.attr("float32")) &&
      as_int(pcm_buf.attr("ndim")) == 1) {
    auto in = py::reinterpret_steal<py::array_t<float, py::array::c_style>>(np.attr("ascontiguousarray")(pcm_buf).release());
    py::array_t<float> out(static_cast<py::ssize_t>(target));
    float* dst = out.mutable_data();
    std::memcpy(dst, in.data(), static_cast<std::size_t>(n) * sizeof(float));
    std::memset(dst + n, 0, static_cast<std::size_t>(target - n) * sizeof(float));
    return out;
  }
  return concatenate(pcm_buf, np.attr("zeros")(target - n, py::arg("dtype") = np.attr("float32")));
}

py::dict pass_args(py::handle rt, py::handle pcm_buf, std::int64_t spt, py::handle out_size, std::int64_t ticks_emitted,
                   py::handle message_id, bool eos_padding) {
  py::dict kw;
  kw["rt"] = rt;
  kw["pcm_buf"] = pcm_buf;
  kw["spt"] = spt;
  kw["out_size"] = out_size;
  kw["ticks_emitted"] = ticks_emitted;
  kw["message_id"] = message_id;
  kw["eos_padding"] = eos_padding;
  return kw;
}

// ---- the producer task --------------------------------------------------------------------

pb::Coroutine produce_frames(py::object self) {
  if (self.attr("_fixture").is_none() || self.attr("_runtime").is_none()) raise_assertion();
  pb::Held fx = self.attr("_fixture");
  const std::int64_t spt = as_int(fx.attr("audio_samples_per_tick"));
  pb::Held fps = self.attr("_engine_fps");
  pb::Held out_size = self.attr("_output_size");
  pb::Held rt = self.attr("_runtime");
  const bool streaming = out_size.is_none();
  const double period_s = streaming ? as_double(owned(PyNumber_TrueDivide(py::float_(1.0).ptr(), fps.ptr()))) : 0.0;
  double idle_due = streaming ? monotonic() + period_s : 0.0;
  pb::Held pcm_buf = empty_f32();
  std::int64_t ticks_emitted = 0;
  pb::Held current_message_id = py::none();

  // Barge-in: the utterance in flight is dropped and the next one starts on a fresh runtime.
  auto take_interrupt = [&] {
    self.attr("_interrupt_event").attr("clear")();
    rt = self.attr("_fresh_runtime")(fx);
    self.attr("_runtime") = rt;
    pcm_buf = empty_f32();
    ticks_emitted = 0;
    current_message_id = py::none();
    self.attr("_stream_pushed") = 0;
  };

  pb::Held failure;  // the Exception that ended the loop
  pb::Held pending;  // what the task raises once the stream is ended
  try {
    for (;;) {
      if (event_is_set(self.attr("_stop_event"))) break;
      if (event_is_set(self.attr("_interrupt_event"))) take_interrupt();

      // Streaming mode waits until the next idle picture is due, so idle pictures keep the frame
      // rate on average whatever each pass costs; compose mode sends none.
      py::object timeout = py::float_(1.0);
      if (streaming) timeout = py::float_(py_max(0.0, idle_due - monotonic()));
      pb::Held chunk;
      bool timed_out = false;
      try {
        chunk = co_await pb::awaited([&] { return within(self.attr("_in_queue").attr("get")(), timeout); });
      } catch (py::error_already_set& e) {
        if (!is_aio(e, "TimeoutError")) throw;
        timed_out = true;
      }
      if (timed_out) {
        if (event_is_set(self.attr("_stop_event"))) break;
        if (streaming && self.attr("_playout").is_none() && whole_ticks(array_size(pcm_buf), spt) <= ticks_emitted) {
          py::object idle_bgr = source_frame_or_none(rt);
          if (!idle_bgr.is_none()) {
            co_await pb::awaited([&] { return self.attr("_out_queue").attr("put")(idle_frame(idle_bgr, spt)); });
          }
        }
        if (streaming) idle_due = next_due_after(idle_due, period_s, monotonic(), 0.0);
        continue;
      }
      // The control was taken off the queue in this very step, and interrupt() empties the queue
      // without waiting, so a control that comes out of the wait while a barge-in is pending was
      // pushed after it: the reply to the barge-in. It opens the next utterance; joined to the
      // abandoned one, whose passes stop at once while the barge-in is pending, its speech would
      // be dropped with it.
      if (event_is_set(self.attr("_interrupt_event"))) take_interrupt();
      if (!is_instance(chunk, global("VideoControl"))) continue;

      pb::Held audio = chunk.attr("audio");
      if (!audio.is_none() && current_message_id.is_none()) {
        if (!py::object(self.attr("_runtime")).is(rt) || array_size(pcm_buf) > 0 || ticks_emitted > 0) {
          rt = self.attr("_fresh_runtime")(fx);
          self.attr("_runtime") = rt;
          pcm_buf = empty_f32();
          ticks_emitted = 0;
        } else if (streaming) {
          rt.attr("reset_stream")();
        }
        self.attr("_stream_pushed") = 0;
        self.attr("_m2_r0") = py::none();
        current_message_id = chunk.attr("message_id");
      }
      if (!audio.is_none()) {
        py::object pcm_i16 = intake_int16(audio);
        pcm_buf = concatenate(pcm_buf, global("_i16_to_f32")(pcm_i16));
      }
      const bool is_terminal = truthy(chunk.attr("end_of_speech")) || (!audio.is_none() && truthy(audio.attr("last_chunk")));
      if (array_size(pcm_buf) == 0 && !is_terminal) continue;

      {
        pb::Held kw = pass_args(rt, pcm_buf, spt, out_size, ticks_emitted, current_message_id, false);
        py::object emitted = co_await pb::awaited([&] { return self.attr("_emit_ready_ticks")(**py::dict(kw)); });
        ticks_emitted += as_int(emitted);
      }
      if (!is_terminal) continue;

      // End of the utterance: the speech not yet out, padded with silence, goes through one tail
      // pass (or the v2 drain); the pad ticks are fed or composed but never emitted.
      check_tick_divisor(spt);
      const TailPlan plan = plan_tail(array_size(pcm_buf), spt, ticks_emitted, 0);
      std::int64_t remaining = plan.remaining;
      if (remaining > 0) {
        std::int64_t pad = as_int(global(streaming ? "_STREAM_FLUSH_PAD_TICKS" : "_LOOKBACK_TICKS"));
        if (truthy(self.attr("_is_v2_stream")())) pad = std::max(pad, as_int(global("_V2_FLUSH_PAD_TICKS")));
        const TailPlan padded = plan_tail(array_size(pcm_buf), spt, ticks_emitted, pad);
        if (padded.extend) pcm_buf = zero_extended(pcm_buf, padded.target_samples);
        const std::int64_t tail_total = ticks_emitted + remaining;
        if (truthy(self.attr("_is_v2_stream")())) {
          pb::Held kw = py::dict();
          kw["rt"] = rt;
          kw["pcm_buf"] = pcm_buf;
          kw["spt"] = spt;
          kw["ticks_emitted"] = ticks_emitted;
          kw["tail_total"] = tail_total;
          kw["message_id"] = current_message_id;
          py::object drained = co_await pb::awaited([&] { return self.attr("_drain_v2_tail")(**py::dict(kw)); });
          ticks_emitted += as_int(drained);
          remaining = 0;
        } else {
          pb::Held kw = pass_args(rt, pcm_buf, spt, out_size, ticks_emitted, current_message_id, true);
          kw["tail_total"] = tail_total;
          py::object emitted = co_await pb::awaited([&] { return self.attr("_emit_ready_ticks")(**py::dict(kw)); });
          ticks_emitted += as_int(emitted);
        }
      }
      if (remaining == 0) {
        co_await pb::awaited([&] { return self.attr("_emit_out")(eos_frame(ticks_emitted, current_message_id)); });
      }
      if (streaming) rt.attr("reset_stream")();
      pcm_buf = empty_f32();
      ticks_emitted = 0;
      current_message_id = py::none();
      self.attr("_stream_pushed") = 0;
    }
  } catch (...) {
    py::object e = caught_exception();
    if (is_exception(e)) {
      failure = e;
    } else {
      pending = e;
    }
  }

  // C++ forbids waiting inside a handler: the error is kept above and delivered here.
  if (failure) {
    try {
      co_await pb::awaited([&] { return self.attr("_emit_out")(failure); });
    } catch (...) {
      pending = caught_exception();
      chain_context(pending, failure);
    }
  }
  if (pending && !is_exception(pending)) {
    // Cancelled or closed: the end marker goes in without waiting, and the cancellation goes on
    // at once. Waiting for room here would hold up whoever cancelled the task, asyncio.run's own
    // teardown included, for as long as nobody reads the queue: for good.
    end_stream_now(self);
    pb::raise_instance(pending);
  }
  try {
    co_await pb::awaited([&] { return self.attr("_emit_out")(global("_STREAM_END")); });
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) {
      chain_context(e, pending);
      pending = e;
    }
  }
  if (pending && !is_exception(pending)) end_stream_now(self);
  if (pending) pb::raise_instance(pending);
  co_return py::none();
}

}  // namespace

void register_frame_producer(py::module_&, py::object cls) {
  pb::def_method(cls, "_ensure_running", &ensure_running);
  pb::def_method(cls, "_produce_frames", &produce_frames);
  pb::def_method(cls, "_fresh_runtime", &fresh_runtime, py::arg("fx"));
  pb::def_method(cls, "_is_m2_stream", &is_m2_stream);
  pb::def_method(cls, "_is_v2_stream", &is_v2_stream);
  pb::def_method(cls, "_emit_out", &emit_out, py::arg("item"));
  pb::def_method(cls, "_engine", &engine, py::arg("fn"));
}

}  // namespace quorvane::avatar::bind

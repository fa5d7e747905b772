// The playout clock of mirrant-2 streams: the task that moves what the producer puts on the
// playout queue on to the output queue at the engine's frame rate, one picture per tick.
//
// A mirrant-2 model hands its pictures over in chunks, in bursts and some time after their speech.
// The clock holds an utterance back until it can play without running dry before the next chunk,
// repeats the last picture with silence when it does run dry, and shows the avatar at rest while
// nothing is being played, so the video never stops.
#include <deque>
#include <optional>

#include "avatar/bind/support.h"
#include "avatar/bind/output_parts.h"
#include "avatar/playout_rule.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind::out {

namespace {

// Samples per tick assumed for the silence when no model is loaded.
constexpr long kDefaultSpt = 800;

std::optional<double> opt_double(py::handle v) {
  if (v.is_none()) return std::nullopt;
  return as_double(v);
}

// An item that ends what the clock sends: the stream's end marker or the producer's error.
bool terminal(py::handle it) { return ends_stream(it); }

bool is_frame(py::handle it) { return is_instance(it, global("VideoFrame")); }

bool has_picture(py::handle frame) { return !py::object(frame.attr("bgr_image")).is_none(); }

// Everything the clock task keeps between passes.
struct Clock {
  pb::Held self;
  pb::Held q;        // the playout queue
  double period = 0;   // seconds per tick
  pb::Held silence;  // one tick of int16 zeros, shared by every filler frame
  std::deque<pb::Held> buf;
  bool playing = false;
  pb::Held last_bgr = py::none();
  double next_due = 0;
  std::optional<double> t_chunk0;
  std::optional<double> lag0;
  double ahead_s = 0;

  // A picture with a tick of silence.
  py::object silent(py::handle bgr) const {
    py::object chunk = global("AudioChunk")(py::arg("data") = silence, py::arg("sample_rate") = global("_SAMPLE_RATE_HZ"),
                                            py::arg("last_chunk") = false);
    return global("VideoFrame")(py::arg("bgr_image") = bgr, py::arg("audio_chunk") = chunk);
  }

  double audio_for_frames(double frames) const { return avatar::audio_for(frames, period, ahead_s); }

  // Seconds of speech needed before the second chunk can be made: the runtime's own count when it
  // gives one, else what the chunk sizes imply.
  double chunk1_audio_s() const {
    py::object rt = self.attr("_runtime");
    py::object f = getattr_or(rt, "samples_for_chunk", py::none());
    if (!f.is_none()) {
      try {
        return as_double(f(1)) / as_double(global("_SAMPLE_RATE_HZ"));
      } catch (...) {
        py::object e = caught_exception();
        if (!is_exception(e)) pb::raise_instance(e);
      }
    }
    return audio_for_frames(as_double(global("_M2_CHUNK0_FRAMES")) + as_double(global("_M2_CHUNK_FRAMES")));
  }

  // The start rule for a buffer of at least a first chunk and less than the pre-roll.
  bool next_chunk_in_time(long ready, double now) {
    py::object t0_obj = getattr_or(self, "_arr_t0", py::none());
    py::object got_obj = getattr_or(self, "_arr_s", py::float_(0.0));
    const double got = truthy(got_obj) ? as_double(got_obj) : 0.0;
    if (t0_obj.is_none() || got <= 0) return false;
    const double t0 = as_double(t0_obj);
    const bool done = truthy(getattr_or(self, "_arr_done", py::bool_(false)));
    if (!t_chunk0) {
      const FirstChunk first = first_chunk(now, t0, got, audio_for_frames(static_cast<double>(ready)));
      t_chunk0 = first.t_chunk0;
      lag0 = first.lag0;
    }
    const double need1 = chunk1_audio_s();
    std::optional<double> t_end;
    if (done) t_end = opt_double(getattr_or(self, "_arr_t_end", py::none()));
    const double r1 = chunk1_make_s(opt_double(getattr_or(self, "_m2_steady_s", py::none())),
                                    opt_double(getattr_or(self, "_m2_r0", py::none())), lag0,
                                    as_double(global("_M2_R1_FACTOR")));
    return chunk1_in_time({now, static_cast<double>(ready), period, t0, got, t_end, need1, *t_chunk0, r1,
                           as_double(global("_M2_START_MARGIN_S"))});
  }

  // Barge-in: the buffered utterance is dropped, only what ends the stream is kept, and play
  // waits for a new start.
  void take_reset() {
    if (!truthy(self.attr("_playout_reset"))) return;
    self.attr("_playout_reset") = false;
    std::deque<pb::Held> kept;
    for (pb::Held& it : buf) {
      if (terminal(it)) kept.push_back(std::move(it));
    }
    buf.swap(kept);
    playing = false;
    t_chunk0.reset();
    lag0.reset();
  }

  bool should_start() {
    long ready = 0;
    bool ended = false;
    for (const pb::Held& it : buf) {
      if (terminal(it)) {
        ended = true;
      } else if (is_frame(it)) {
        if (has_picture(it)) ++ready;
        if (truthy(it.attr("end_of_speech"))) ended = true;
      }
    }
    const double n_ready = static_cast<double>(ready);
    if (n_ready >= as_double(global("_M2_PREROLL_FRAMES"))) return true;
    if (ended) return true;
    return n_ready >= as_double(global("_M2_CHUNK0_FRAMES")) && next_chunk_in_time(ready, monotonic());
  }

  // What the producer may render ahead is bounded by what waits here to be played: it is told how
  // much that is, and woken when there is room again.
  void note_backlog() const {
    const auto held = static_cast<std::int64_t>(buf.size());
    self.attr("_playout_backlog") = held;
    py::object room = getattr_or(self, "_playout_room", py::none());
    if (room.is_none()) return;
    if (held + as_int(q.attr("qsize")()) < as_int(global("_M2_AHEAD_FRAMES"))) room.attr("set")();
  }
};

pb::Coroutine emit_clock(py::object self) {
  Clock c;
  c.self = self;
  c.q = self.attr("_playout");
  if (c.q.is_none()) pb::raise_new(PyExc_AssertionError, py::tuple());
  py::object fps = self.attr("_engine_fps");
  c.period = as_double(owned(PyNumber_TrueDivide(py::float_(1.0).ptr(), fps.ptr())));
  py::object fx = self.attr("_fixture");
  py::object spt = fx.is_none() ? py::int_(kDefaultSpt) : py::int_(fx.attr("audio_samples_per_tick"));
  c.silence = global("np").attr("zeros")(spt, py::arg("dtype") = global("np").attr("int16"));
  c.next_due = monotonic();
  c.ahead_s = ahead_seconds(as_double(global("_M2_CHUNK_FRAMES")), as_double(spt), as_double(global("_SAMPLE_RATE_HZ")),
                            as_double(global("_M2_CHUNK0_FRAMES")), c.period);
  pb::Held out_q = self.attr("_out_queue");

  for (;;) {
    // A barge-in first, then what has arrived: interrupt() empties the playout queue, so what
    // is buffered now is all of the dropped utterance and what is queued now came after it.
    c.take_reset();
    for (;;) {
      try {
        c.buf.push_back(c.q.attr("get_nowait")());
      } catch (py::error_already_set& e) {
        if (!is_aio(e, "QueueEmpty")) throw;
        break;
      }
    }

    // Stop: only the end items go out, buffered pictures are dropped.
    if (truthy(self.attr("_stop_event").attr("is_set")())) {
      bool any_end = false;
      for (const py::object& it : c.buf) any_end = any_end || terminal(it);
      if (any_end) {
        std::deque<pb::Held> items(c.buf.begin(), c.buf.end());
        for (const pb::Held& it : items) {
          if (!terminal(it)) continue;
          co_await pb::awaited([&] { return out_q.attr("put")(it); });
          if (it.is(global("_STREAM_END"))) co_return py::none();
        }
        c.buf.clear();
      }
    }
    c.note_backlog();

    // Sleep until the tick is due or something arrives; every arrival starts a new pass.
    const double now = monotonic();
    if (now < c.next_due) {
      try {
        py::object got = co_await pb::awaited([&] { return within(c.q.attr("get")(), py::float_(c.next_due - now)); });
        c.take_reset();  // before the item, which may be the reply to that barge-in
        c.buf.push_back(got);
      } catch (py::error_already_set& e) {
        if (!is_aio(e, "TimeoutError")) throw;
      }
      continue;
    }

    c.next_due = next_due_after(c.next_due, c.period, monotonic(), as_double(global("_M2_CATCHUP_S")));

    if (!c.playing && !c.buf.empty()) {
      c.playing = c.should_start();
      if (c.playing) {
        c.t_chunk0.reset();
        c.lag0.reset();
        self.attr("_drop_queued_resting")();
      }
    }

    // One picture per tick, with whatever stands before it that has none.
    bool shown = false;
    bool dropped = false;
    while (c.playing && !c.buf.empty() && !shown) {
      pb::Held it = c.buf.front();
      c.buf.pop_front();
      c.note_backlog();
      if (terminal(it) || !is_frame(it)) {
        co_await pb::awaited([&] { return out_q.attr("put")(it); });
        if (it.is(global("_STREAM_END"))) co_return py::none();
        continue;
      }
      // A barge-in while the put waits for room drops this frame with its utterance; the reset it
      // asked for is taken at the next pass.
      if (!truthy(co_await pb::awaited([&] { return put_unless_interrupted(self, out_q, it); }))) {
        dropped = true;
        break;
      }
      py::object bgr = it.attr("bgr_image");
      if (!bgr.is_none()) {
        c.last_bgr = bgr;
        shown = true;
      }
      if (truthy(it.attr("end_of_speech"))) c.playing = false;
    }
    if (shown || dropped) continue;

    // Ran dry while playing: the last picture again, with silence.
    if (c.playing && !c.last_bgr.is_none()) {
      co_await pb::awaited([&] { return put_unless_interrupted(self, out_q, c.silent(c.last_bgr)); });
      continue;
    }

    // Not playing: the avatar at rest.
    py::object rt = self.attr("_runtime");
    py::object idle = py::none();
    if (!rt.is_none()) {
      try {
        idle = rt.attr("get_source_frame")(-1);
      } catch (...) {
        py::object e = caught_exception();
        if (!is_exception(e)) pb::raise_instance(e);
        idle = py::none();
      }
    }
    if (idle.is_none()) idle = c.last_bgr;
    if (idle.is_none()) continue;
    py::object fr = c.silent(idle);
    fr.attr("_qv_resting") = true;
    co_await pb::awaited([&] { return out_q.attr("put")(fr); });
  }
}

// Waits while the playout clock holds _M2_AHEAD_FRAMES items or more that are still to be played
// (its buffer and the playout queue), so the producer renders a bounded stretch ahead of playout
// however far ahead of real time the speech was pushed. A stop or a barge-in ends the wait.
pb::Coroutine await_playout_room(py::object self) {
  const std::int64_t limit = as_int(global("_M2_AHEAD_FRAMES"));
  for (;;) {
    if (stopped_or_interrupted(self)) break;
    py::object playout = self.attr("_playout");
    pb::Held room = getattr_or(self, "_playout_room", py::none());
    if (playout.is_none() || room.is_none()) break;
    const std::int64_t backlog =
        as_int(playout.attr("qsize")()) + as_int(getattr_or(self, "_playout_backlog", py::int_(0)));
    if (backlog < limit) break;
    room.attr("clear")();
    co_await pb::awaited([&] { return room.attr("wait")(); });
  }
  co_return py::none();
}

// Removes the resting frames waiting in the output queue, keeping every other item in its place.
// Nothing is awaited, so no other task sees the queue half rebuilt.
void drop_queued_resting(py::object self) {
  keep_in_queue(self.attr("_out_queue"),
                [](py::handle it) { return !truthy(getattr_or(it, "_qv_resting", py::bool_(false))); });
}

}  // namespace

void register_playout(py::module_&, py::object cls) {
  pb::def_method(cls, "_emit_clock", &emit_clock);
  pb::def_method(cls, "_drop_queued_resting", &drop_queued_resting);
  pb::def_method(cls, "_await_playout_room", &await_playout_room);
}

}  // namespace quorvane::avatar::bind::out

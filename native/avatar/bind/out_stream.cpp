// The output stream of AsyncAvatar: the async iterator behind `run()`, and voice-first delivery
// to the application's audio sink (`sync_to`).
//
// With a sink, a frame's voice goes out at once and its picture is held until that voice starts
// playing: the host's publish path buffers voice while pictures go out the moment they are taken,
// so without the hold the mouth would lead the voice.
#include <cstdint>
#include <string>

#include "avatar/bind/support.h"
#include "avatar/bind/output_parts.h"
#include "avatar/sync_release.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind::out {

namespace {

constexpr const char* kNoSink =
    "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, its "
    "AVSynchronizer, an rtc.AudioSource or a function returning the seconds of audio queued; got ";

// The attributes followed, in this order, from what was passed to the object that reports the
// seconds queued: a session leads to its runner, the runner to its synchroniser, that to its
// audio source.
constexpr const char* kSinkPath[] = {"_avatar_runner", "av_sync", "_audio_source"};

py::object queued_reader(py::object sink) {
  if (PyCallable_Check(sink.ptr()) && !has_attr(sink, "queued_duration")) return sink;
  py::object src = sink;
  for (const char* name : kSinkPath) {
    py::object nxt = getattr_or(src, name, py::none());
    if (!nxt.is_none()) src = nxt;
  }
  if (!has_attr(src, "queued_duration")) {
    pb::raise_new(PyExc_TypeError, py::make_tuple(std::string(kNoSink) + type_name(sink)));
  }
  // Read afresh at each call; the reader holds the object reached, not the one passed (in a form
  // the cycle collector can see: a sink may well lead back to the avatar).
  return global("functools").attr("partial")(py::module_::import("builtins").attr("getattr"), src, "queued_duration");
}

py::object run(py::object self) { return self.attr("_run_iter")(); }

void sync_to(py::object self, py::object sink) {
  if (sink.is_none()) {
    self.attr("_audio_queued") = py::none();
    return;
  }
  py::object reader = global("_queued_reader")(sink);
  self.attr("_audio_queued") = reader;
}

double release_of(py::handle pair) { return as_double(pair[py::int_(0)]); }

// The sink's seconds queued, read once the consumer has taken the voice part; any failure of the
// reader counts as nothing queued.
double sink_queued(py::handle self) {
  try {
    return queued_seconds(as_double(self.attr("_audio_queued")()));
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
    return 0.0;
  }
}

// Seconds of voice handed out in split frames so far, on this avatar: the sink has played this
// much less what it still holds.
double handed_of(py::handle self) { return as_double(getattr_or(self, "_sync_handed", py::float_(0.0))); }

// The oldest held picture may go out: its release time has come and, while a sink is set, the
// sink confirms that its voice has started playing. Held entries are (release, picture, start),
// `start` being where the picture's voice begins in the voice handed out. A sink that stopped
// playing keeps the picture held, its release moved on; the voice it then has to catch up on
// plays before the picture shows.
bool head_due(py::handle self, py::handle pend) {
  if (py::len(pend) == 0) return false;
  py::object pair = pend[py::int_(0)];
  const double now = monotonic();
  if (release_of(pair) > now) return false;
  if (py::len(pair) < 3 || py::object(self.attr("_audio_queued")).is_none()) return true;
  const double lead_s = as_double(global("_SYNC_LEAD_S"));
  const double start_s = as_double(pair[py::int_(2)]);
  const double release = held_release(now, start_s, handed_of(self), sink_queued(self), lead_s);
  if (release <= now) return true;
  pend[py::int_(0)] = py::make_tuple(py::float_(release), pair[py::int_(1)], pair[py::int_(2)]);
  return false;
}

// Puts `item` back at the head of the asyncio queue `q`, before what stands behind it. Never
// waits; the queue has room, `item` having just been taken off it.
void put_back_first(py::handle q, py::handle item) {
  py::list rest;
  keep_in_queue(q, [&](py::handle it) {
    rest.append(it);
    return false;
  });
  q.attr("put_nowait")(item);
  for (py::handle it : rest) q.attr("put_nowait")(it);
}

// A part split from a resting frame is marked as resting too: the mark is how a consumer tells
// the avatar at rest from speech, and the split parts are new records without it.
py::object keep_resting_mark(py::handle frame, py::object part) {
  if (truthy(getattr_or(frame, "_qv_resting", py::bool_(false)))) part.attr("_qv_resting") = true;
  return part;
}

// Whether `item` is a frame with both a picture and voice while a sink is set: such a frame goes
// out in two parts.
bool splits(py::handle self, py::handle item) {
  if (py::object(self.attr("_audio_queued")).is_none()) return false;
  if (!is_instance(item, global("VideoFrame"))) return false;
  return !py::object(item.attr("bgr_image")).is_none() && !py::object(item.attr("audio_chunk")).is_none();
}

// The future that the end of the current run completes (`_run_over`), made by the run's first
// iteration: every iteration of that run waits on it beside its reads, so a teardown wakes them
// all, whatever has become of the end marker by then.
py::object run_over(py::handle self) {
  py::object loop = aio("get_running_loop")();
  py::object over = getattr_or(self, "_run_over", py::none());
  if (over.is_none() || truthy(over.attr("done")()) || !py::object(over.attr("get_loop")()).is(loop)) {
    over = loop.attr("create_future")();
    self.attr("_run_over") = over;
  }
  return over;
}

pb::AsyncGenerator run_iter(py::object self) {
  co_await pb::awaited([&] { return self.attr("_ensure_running")(); });
  // This iteration belongs to the run now current (each run has a stop event of its own). Once a
  // teardown of that run has begun it takes nothing more, not even what a later run puts in the
  // shared queue and hold, and it ends at its next step however long its consumer took over a
  // frame.
  pb::Held run_ev = self.attr("_stop_event");
  pb::Held over = run_over(self);
  auto ended = [&] {
    return truthy(over.attr("done")()) || event_is_set(run_ev) || !truthy(self.attr("_running")) ||
           !py::object(self.attr("_stop_event")).is(run_ev);
  };
  pb::Held pend = self.attr("_sync_pend");
  pb::Held cancelled;
  try {
    for (;;) {
      if (ended()) co_return;
      pb::Held item;
      bool got = true;
      // Every read takes its item in this task, in the step it resumes in: a barge-in in between
      // then finds the item still queued and drops it, and a read that times out leaves the
      // queue as it was.
      if (py::object(self.attr("_audio_queued")).is_none() && py::len(pend) == 0) {
        try {
          item = co_await pb::awaited([&] { return within(self.attr("_out_queue").attr("get")(), py::none(), over); });
        } catch (py::error_already_set& e) {
          if (!is_aio(e, "TimeoutError")) throw;
          got = false;
        }
      } else {
        py::object timeout = py::none();
        if (py::len(pend) > 0) timeout = py::float_(hold_timeout(release_of(pend[py::int_(0)]), monotonic()));
        if (truthy(self.attr("_running")) &&
            static_cast<std::int64_t>(py::len(pend)) >= as_int(global("_SYNC_HOLD_FRAMES"))) {
          // The hold is full: nothing more is read until its oldest picture goes out, so the
          // output queue fills and the producer waits for a sink that has stopped playing. A
          // barge-in or a teardown wakes this wait.
          pb::Held waiter = aio("get_running_loop")().attr("create_future")();
          self.attr("_sync_wake") = waiter;
          try {
            co_await pb::awaited([&] { return within(waiter, timeout, over); });
          } catch (py::error_already_set& e) {
            if (!is_aio(e, "TimeoutError")) throw;
          }
          self.attr("_sync_wake") = py::none();
          got = false;
        } else {
          try {
            item = co_await pb::awaited([&] { return within(self.attr("_out_queue").attr("get")(), timeout, over); });
          } catch (py::error_already_set& e) {
            if (!is_aio(e, "TimeoutError")) throw;
            got = false;
          }
        }
      }
      if (ended()) {
        // Taken in the step the run ended in, or from a later run: it stays for its own reader.
        if (got) put_back_first(self.attr("_out_queue"), item);
        co_return;
      }
      while (head_due(self, pend)) {
        py::object pair = pend.attr("popleft")();
        co_yield py::object(pair[py::int_(1)]);
        if (ended()) co_return;
      }
      if (!got) continue;

      if (item.is(global("_STREAM_END"))) {
        // The marker stays for every other reader of this ended stream, and for later ones until
        // the next start empties the queue: none of them waits for items that will never come.
        put_back_first(self.attr("_out_queue"), item);
        // Held pictures go out at their times while the run lasts; its teardown drops them.
        while (py::len(pend) > 0) {
          py::object head = pend[py::int_(0)];
          const double wait_s = hold_timeout(release_of(head), monotonic());
          try {
            co_await pb::awaited([&] { return within(aio("sleep")(wait_s), py::none(), over); });
          } catch (py::error_already_set& e) {
            if (!is_aio(e, "TimeoutError")) throw;
          }
          if (ended() || py::len(pend) == 0 || !py::object(pend[py::int_(0)]).is(head)) break;
          pend.attr("popleft")();
          co_yield py::object(head[py::int_(1)]);
          if (ended()) break;
        }
        co_return;
      }
      if (PyExceptionInstance_Check(item.ptr())) pb::raise_instance(item);

      if (splits(self, item)) {
        py::object ac = item.attr("audio_chunk");
        py::object replace = global("dataclasses").attr("replace");
        const std::int64_t interrupts = interrupts_of(self);
        co_yield keep_resting_mark(item, replace(item, py::arg("bgr_image") = py::none()));
        // A barge-in while the consumer held the voice drops the picture with its utterance, and
        // a teardown drops it with its run.
        if (ended()) co_return;
        if (interrupts_of(self) != interrupts) continue;
        const double queued = sink_queued(self);
        py::object size = ac.attr("data").attr("size");
        py::object rate = owned(PyNumber_Float(py::object(ac.attr("sample_rate")).ptr()));
        py::object dur_obj = owned(PyNumber_TrueDivide(size.ptr(), rate.ptr()));
        const double dur = as_double(dur_obj);
        const double release = picture_release(monotonic(), queued, dur, as_double(global("_SYNC_LEAD_S")));
        py::object picture =
            keep_resting_mark(item, replace(item, py::arg("audio_chunk") = py::none(), py::arg("end_of_speech") = false));
        const double handed_s = handed_of(self);
        pend.attr("append")(py::make_tuple(py::float_(release), picture, py::float_(handed_s)));
        self.attr("_sync_handed") = handed_s + dur;
        continue;
      }
      co_yield item;
    }
  } catch (py::error_already_set& e) {
    if (!is_aio(e, "CancelledError")) throw;
    cancelled = e.value();
  }
  // Only a cancellation of the consumer gets here: the producer of its run is stopped before the
  // cancellation goes on (a run already ended, and any later one, are not this consumer's to
  // stop); an error of stop() goes on in its place, with the cancellation as its context.
  if (ended()) pb::raise_instance(cancelled);
  py::object stop_error;
  try {
    co_await pb::awaited([&] { return self.attr("stop")(); });
  } catch (...) {
    stop_error = caught_exception();
  }
  if (stop_error) {
    py::object ctx = py::reinterpret_steal<py::object>(PyException_GetContext(stop_error.ptr()));
    if (!ctx && !stop_error.is(cancelled)) PyException_SetContext(stop_error.ptr(), cancelled.inc_ref().ptr());
    pb::raise_instance(stop_error);
  }
  pb::raise_instance(cancelled);
}

}  // namespace

void register_stream(py::module_& m, py::object cls) {
  m.def("_queued_reader", &queued_reader, py::arg("sink"),
        "The reader of seconds of audio queued in `sink` and not yet played, or TypeError.");
  pb::def_method(cls, "run", &run);
  pb::def_method(cls, "_run_iter", &run_iter);
  pb::def_method(cls, "sync_to", &sync_to, py::arg("sink"));
}

}  // namespace quorvane::avatar::bind::out

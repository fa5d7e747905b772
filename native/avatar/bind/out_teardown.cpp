// Ending and resetting a live stream: barge-in (`interrupt`), the orderly stop of the producer and
// playout tasks (`stop`), and the two teardowns that also release the engine thread and the
// runtime (`shutdown`, and `cleanup` for a host whose consumer may still be inside `run()`).
#include "avatar/bind/support.h"
#include "avatar/bind/output_parts.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind::out {

namespace {

// How long stop() lets the producer finish on its own, and then how long it waits once the
// producer has been cancelled.
constexpr double kProducerWaitS = 5.0;
constexpr double kCancelledWaitS = 1.0;
// The longest stop()'s drain task sleeps before it looks at the producer again.
constexpr double kDrainPollS = 0.1;

// Wakes a producer that waits for the playout clock to catch up, so it sees a stop or a barge-in.
void wake_producer(py::handle self) {
  py::object room = getattr_or(self, "_playout_room", py::none());
  if (!room.is_none()) room.attr("set")();
}

void drain_queue(py::object q) { empty_queue(q); }

// Barge-in: the utterance in flight and everything queued for it are dropped; the run goes on.
void interrupt(py::object self) {
  if (!truthy(self.attr("_running"))) return;
  // Counted first: a put still waiting for room when the queues are emptied below takes its item
  // back out when it sees the count move.
  self.attr("_interrupts") = interrupts_of(self) + 1;
  self.attr("_drain_queue")(self.attr("_in_queue"));
  // What ends the stream stays: a producer that has ended sends nothing more, and without its
  // marker every later read of run() would wait for ever.
  keep_in_queue(self.attr("_out_queue"), [](py::handle it) { return ends_stream(it); });
  self.attr("_sync_pend").attr("clear")();
  if (!py::object(self.attr("_playout")).is_none()) {
    self.attr("_drain_queue")(self.attr("_playout"));
    self.attr("_playout_reset") = true;
    self.attr("_arrival_dropped")();
    self.attr("_m2_r0") = py::none();
  }
  self.attr("_interrupt_event").attr("set")();
  wake_producer(self);
  wake_consumer(self);
}

// Waits for `task` at most `timeout_s` seconds, without cancelling it at the time-out: the caller
// looks at task.done() afterwards. asyncio.wait awaits a future of its own, so a CancelledError
// out of this wait is always the waiting task's own cancellation, never the task's: that is
// passed on, not taken for the end of the task.
py::object wait_task(py::handle task, double timeout_s) {
  py::list tasks;
  tasks.append(task);
  return aio("wait")(tasks, py::arg("timeout") = timeout_s);
}

bool task_done(py::handle task) { return truthy(task.attr("done")()); }

// The error a finished task ended with, or an empty object when it returned or was cancelled.
py::object task_error(py::handle task) {
  if (!task_done(task) || truthy(task.attr("cancelled")())) return py::object();
  py::object e = task.attr("exception")();
  return e.is_none() ? py::object() : e;
}

// Ends the run for its consumers: each ends at its next step, however slow it is, and takes
// nothing more, not even what a later run puts in the queue. The run's own future wakes every
// one of them wherever it waits. Never waits.
void end_run(py::handle self) {
  py::object over = getattr_or(self, "_run_over", py::none());
  self.attr("_run_over") = py::none();
  if (!over.is_none() && !truthy(over.attr("done")())) {
    try {
      over.attr("set_result")(py::none());
    } catch (...) {
      // The run's loop is closed: none of its consumers can be waiting any more.
      py::object e = caught_exception();
      if (!is_exception(e)) pb::raise_instance(e);
    }
  }
  wake_consumer(self);
}

// Ends the stream for whoever reads it. The pictures held for the sink belong to the speech the
// teardown drops, and go with it; the end marker goes in place of what the output queue held (the
// queue was just emptied, so it has room), for a later run() before the next start.
void end_for_consumers(py::handle self) {
  py::object pend = getattr_or(self, "_sync_pend", py::none());
  if (!pend.is_none()) pend.attr("clear")();
  py::object q = self.attr("_out_queue");
  empty_queue(q);
  q.attr("put_nowait")(global("_STREAM_END"));
  end_run(self);
}

// Drops what was pushed before the stop: the queued controls, those whose put still waits for room
// (counted, they take their item back out as it lands), their arrival and the pictures held for
// the sink. Left there, the next run would open with the abandoned reply, or with an end of speech
// that ends a consumer before the new reply's first frame. Never waits.
void drop_pushed(py::handle self) {
  self.attr("_stops") = stops_of(self) + 1;
  empty_queue(self.attr("_in_queue"));
  self.attr("_sync_pend").attr("clear")();
  self.attr("_arrival_dropped")();
}

// Cancelled while it waits, stop() still does what takes no waiting (the tasks are cancelled, the
// run ends and every consumer is handed the end marker) and then passes the cancellation on: an
// asyncio.timeout, wait_for or TaskGroup around it ends at once, as around any coroutine.
pb::Coroutine stop(py::object self) {
  if (!truthy(self.attr("_running"))) co_return py::none();
  self.attr("_stop_event").attr("set")();
  wake_producer(self);
  drop_pushed(self);
  end_run(self);

  pb::Held cancelled;  // this task's own cancellation, passed on once the stream is ended
  pb::Held producer = self.attr("_producer_task");
  if (!producer.is_none()) {
    // Wakes a producer that waits for input (the queue was just emptied, so it has room). Once the
    // producer has ended it is taken out again: what was pushed while stop() waited stays for the
    // next run, and nothing else.
    pb::Held wake = global("VideoControl")(py::arg("end_of_speech") = true);
    self.attr("_in_queue").attr("put_nowait")(wake);
    pb::Held drain_task = aio("create_task")(self.attr("_drain_out_queue_until")(producer));
    bool timed_out = false;
    // A producer that has not ended after the engine's grace period while a call of its own is
    // still in flight waits on a host that is stuck: it is cancelled then, not waited for longer.
    const double phases[] = {kEngineGraceS, kProducerWaitS - kEngineGraceS};
    for (int i = 0; i < 2 && !cancelled; ++i) {
      try {
        co_await pb::awaited([&] { return wait_task(producer, phases[i]); });
      } catch (py::error_already_set& e) {
        if (!is_aio(e, "CancelledError")) throw;
        cancelled = e.value();
        break;
      }
      if (task_done(producer)) break;
      py::object job = getattr_or(self, "_engine_job", py::none());
      const bool stuck = !job.is_none() && !truthy(job.attr("done")());
      if (stuck) {
        self.attr("_engine_stuck") = job;
        // A later run's calls must not queue behind the stuck one: they get a thread of their own.
        py::object ex = getattr_or(self, "_engine_executor", py::none());
        self.attr("_engine_executor") = py::none();
        if (!ex.is_none()) ex.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
      }
      if (stuck || i == 1) {
        timed_out = true;
        break;
      }
    }
    if (timed_out) {
      pb::Held task = self.attr("_producer_task");
      task.attr("cancel")();
      try {
        co_await pb::awaited([&] { return wait_task(task, kCancelledWaitS); });
      } catch (py::error_already_set& e) {
        if (!is_aio(e, "CancelledError")) throw;
        cancelled = e.value();
      }
    }
    keep_in_queue(self.attr("_in_queue"), [&](py::handle it) { return !it.is(wake); });
    if (cancelled) {
      drain_task.attr("cancel")();
      // The producer and the playout clock are cancelled, not awaited; each ends at its next step.
      self.attr("_end_stream_before_close")();
      pb::raise_instance(cancelled);
    }
    // A producer that failed ends stop() with its error; the run stays as it is.
    if (py::object error = task_error(producer)) pb::raise_instance(error);
    drain_task.attr("cancel")();
    try {
      co_await pb::awaited([&] { return wait_task(drain_task, kCancelledWaitS); });
    } catch (py::error_already_set& e) {
      if (!is_aio(e, "CancelledError")) throw;
      cancelled = e.value();
    }
  }
  self.attr("_producer_task") = py::none();

  pb::Held emitter = self.attr("_emitter_task");
  if (!emitter.is_none()) {
    if (!task_done(emitter)) {
      emitter.attr("cancel")();
      if (!cancelled) {
        try {
          co_await pb::awaited([&] { return wait_task(emitter, kCancelledWaitS); });
        } catch (py::error_already_set& e) {
          if (!is_aio(e, "CancelledError")) throw;
          cancelled = e.value();
        }
      }
    }
    self.attr("_emitter_task") = py::none();
  }
  self.attr("_playout") = py::none();
  self.attr("_running") = false;
  end_for_consumers(self);
  if (cancelled) pb::raise_instance(cancelled);
  co_return py::none();
}

// Keeps the output queue moving while stop() waits, so a producer blocked on a full queue can
// reach its end. What it takes is dropped.
pb::Coroutine drain_out_queue_until(py::object self, py::object producer_task) {
  while (!truthy(producer_task.attr("done")())) {
    bool cancelled = false;
    try {
      co_await pb::awaited([&] { return within(self.attr("_out_queue").attr("get")(), py::float_(kDrainPollS)); });
    } catch (py::error_already_set& e) {
      if (is_aio(e, "TimeoutError")) continue;
      if (!is_aio(e, "CancelledError")) throw;
      cancelled = true;
    }
    if (cancelled) break;
  }
  co_return py::none();
}

bool in_flight(py::handle job) { return !job.is_none() && !truthy(job.attr("done")()); }

// The release thread's body: the calls in flight are given the grace period, then the runtime is
// closed whether or not they have ended, and `done` says so (unless whoever waited for it has
// given up: a cancelled shutdown() cancels it).
void release_after(py::object jobs, py::object rt, py::object done, double grace_s) {
  global("concurrent").attr("futures").attr("wait")(jobs, py::arg("timeout") = grace_s);
  py::object error;
  try {
    close_runtime_now(rt);
  } catch (...) {
    error = caught_exception();
  }
  if (!truthy(done.attr("set_running_or_notify_cancel")())) return;
  if (error) {
    done.attr("set_exception")(error);
  } else {
    done.attr("set_result")(py::none());
  }
}

// Releases the engine thread, then the runtime, and never waits on the calling thread for a call
// in flight on the engine thread: that call is a model host's render, which takes as long as the
// host does (for good, once the host is stuck), and the calling thread is the event loop's. So
// with a call in flight (this run's, or one that stop() gave up on) the executor is shut down
// without waiting, and a thread of its own closes the runtime once the calls have ended or the
// grace period is over; the result is a concurrent.futures.Future that completes then. Otherwise
// both are released at once (None). Either way nothing uses the runtime after it has been closed:
// no new call can start, and the ones in flight are done, or are stuck on a host that the close
// ends.
py::object close_runtime(py::object self) {
  py::object ex = getattr_or(self, "_engine_executor", py::none());
  self.attr("_engine_executor") = py::none();
  py::object job = getattr_or(self, "_engine_job", py::none());
  py::object stuck = getattr_or(self, "_engine_stuck", py::none());
  self.attr("_engine_job") = py::none();
  self.attr("_engine_stuck") = py::none();
  py::object rt = self.attr("_runtime");
  py::list jobs;
  for (py::handle j : {job, stuck}) {
    if (in_flight(j) && !jobs.contains(j)) jobs.append(j);
  }
  if (py::len(jobs) > 0) {
    if (!ex.is_none()) ex.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
    // A call that stop() gave up on has had its grace period already.
    const double grace_s = in_flight(job) && !job.is(stuck) ? kEngineGraceS : 0.0;
    py::object done = global("concurrent").attr("futures").attr("Future")();
    py::object thread = py::module_::import("threading").attr("Thread");
    thread(py::arg("target") = global("_release_after"),
           py::arg("args") = py::make_tuple(py::tuple(jobs), rt, done, grace_s), py::arg("name") = "quorvane-release")
        .attr("start")();
    return done;
  }
  if (!ex.is_none()) ex.attr("shutdown")(py::arg("wait") = true);
  close_runtime_now(rt);
  return py::none();
}

pb::Coroutine shutdown(py::object self) {
  // Cancelled, it still hands the runtime back (which never waits on the loop) before it passes
  // the cancellation on; the release thread then closes the runtime on its own.
  pb::Held cancelled;
  try {
    co_await pb::awaited([&] { return self.attr("stop")(); });
  } catch (py::error_already_set& e) {
    if (!is_aio(e, "CancelledError")) throw;
    cancelled = e.value();
  }
  pb::Held release = self.attr("_close_runtime")();
  self.attr("_runtime") = py::none();
  self.attr("_fixture") = py::none();
  if (cancelled) pb::raise_instance(cancelled);
  // The runtime is gone when shutdown() returns: a host still rendering is waited for here, on
  // the loop, not by blocking it.
  if (!release.is_none()) {
    co_await pb::awaited([&] { return aio("wrap_future")(release); });
  }
  co_return py::none();
}

// Swallows an error of the Exception family; anything else goes on.
template <class F>
void ignoring_errors(F&& f) {
  try {
    f();
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
}

// The stream-ending half of cleanup(): nothing is awaited; the tasks are cancelled and the
// consumer, if one is waiting in run(), is handed the end marker.
void end_stream_before_close(py::object self) {
  if (!truthy(getattr_or(self, "_running", py::bool_(false)))) return;
  py::object ev = getattr_or(self, "_stop_event", py::none());
  if (!ev.is_none()) ignoring_errors([&] { ev.attr("set")(); });
  for (const char* name : {"_producer_task", "_emitter_task"}) {
    py::object task = getattr_or(self, name, py::none());
    self.attr(name) = py::none();
    if (task.is_none() || truthy(task.attr("done")())) continue;
    ignoring_errors([&] { task.attr("cancel")(); });
  }
  self.attr("_playout") = py::none();
  self.attr("_running") = false;
  ignoring_errors([&] { end_for_consumers(self); });
}

void cleanup(py::object self) {
  self.attr("_end_stream_before_close")();
  self.attr("_close_runtime")();
  if (py::object(self.attr("_fixture")).is_none()) return;
  self.attr("_fixture") = py::none();
  self.attr("_runtime") = py::none();
}

}  // namespace

void register_teardown(py::module_& m, py::object cls) {
  pb::def_method(cls, "interrupt", &interrupt);
  pb::def_staticmethod(cls, "_drain_queue", &drain_queue, py::arg("q"));
  pb::def_coroutine_method(m, cls, "stop", "self", &stop);
  pb::def_method(cls, "_drain_out_queue_until", &drain_out_queue_until, py::arg("producer_task"));
  pb::def_coroutine_method(m, cls, "shutdown", "self", &shutdown);
  pb::def_method(cls, "cleanup", &cleanup);
  pb::def_method(cls, "_end_stream_before_close", &end_stream_before_close);
  pb::def_method(cls, "_close_runtime", &close_runtime);
  m.def("_release_after", &release_after, py::arg("jobs"), py::arg("rt"), py::arg("done"), py::arg("grace_s"),
        "Closes `rt` once `jobs` have ended or `grace_s` is over, then completes `done` unless it was cancelled.");
}

}  // namespace quorvane::avatar::bind::out

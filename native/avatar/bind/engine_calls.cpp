// The engine thread's calls in flight, and their release when nobody will wait for them any more:
// at interpreter exit and when an avatar is collected without shutdown(). A call in flight is a
// model host's render, which lasts as long as the host does: with a host stuck, for the host's
// whole stall time-out. The interpreter joins the engine thread at exit, so such a call would keep
// the process alive; instead the call is given the engine's grace period and then its runtime is
// closed, which ends the host, fails the call and frees the thread.
//
// A call in flight is held by the engine thread, so nothing it holds may lead back to the avatar:
// the task awaiting the call is reached from the call's end only through a weak reference. An
// application that drops the avatar while a call runs, its loop closed or not, thus frees it at
// once, and the release above then sees to the call.
#include "avatar/bind/producer_parts.h"
#include "avatar/bind/support.h"

namespace quorvane::avatar::bind {

namespace {

bool g_exit_hooked = false;

// Forgets a call that has ended; its future's done callback, on whichever thread ends it.
void engine_call_ended(py::object calls, py::object job) {
  calls.attr("pop")(job, py::none());
  global("_ENGINE_CALLS").attr("pop")(job, py::none());
}

// Gives the calls of `calls` (a dict of call to runtime) still in flight up to `grace_s` seconds,
// then closes the runtime of each one that is still running. Blocks the calling thread.
void release_engine_calls(py::object calls, double grace_s) {
  py::list items = py::list(calls.attr("items")());
  if (py::len(items) == 0) return;
  py::list jobs;
  for (py::handle it : items) jobs.append(it[py::int_(0)]);
  global("concurrent").attr("futures").attr("wait")(jobs, py::arg("timeout") = grace_s);
  py::list closed;
  for (py::handle it : items) {
    py::object job = it[py::int_(0)];
    py::object rt = it[py::int_(1)];
    if (truthy(job.attr("done")()) || rt.is_none()) continue;
    bool seen = false;
    for (py::handle c : closed) seen = seen || c.is(rt);
    if (seen) continue;
    closed.append(rt);
    close_runtime_now(rt);
  }
}

// At interpreter exit, before the engine threads are joined: every call still in flight.
void release_at_exit() { release_engine_calls(global("_ENGINE_CALLS"), kEngineGraceS); }

// An avatar was collected: its calls still in flight are released on a thread of their own, so
// the collection never waits for them.
void release_when_collected(py::object calls) {
  if (py::len(calls) == 0) return;
  py::object thread = py::module_::import("threading").attr("Thread");
  try {
    thread(py::arg("target") = global("_release_engine_calls"), py::arg("args") = py::make_tuple(calls, kEngineGraceS),
           py::arg("name") = "quorvane-release")
        .attr("start")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    release_engine_calls(calls, 0.0);  // the interpreter is ending: no thread can start now
  }
}

// The exit hook runs in threading's own shutdown, before the engine threads are joined (the hooks
// run last registered first, and concurrent.futures registers the join at its import).
void hook_exit_once() {
  if (g_exit_hooked) return;
  py::module_::import("concurrent.futures.thread");
  try {
    py::module_::import("threading").attr("_register_atexit")(global("_release_engine_calls_at_exit"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;  // already shutting down: nothing more starts
  }
  g_exit_hooked = true;
}

// The call's end, on the thread that ends it: its outcome goes to the waiter on the waiter's loop,
// unless nobody waits any more (the waiter was collected with its task) or the loop is closed.
void engine_call_ended_for(py::object loop, py::object waiter_ref, py::object job) {
  py::object waiter = waiter_ref();
  if (waiter.is_none() || truthy(loop.attr("is_closed")())) return;
  try {
    loop.attr("call_soon_threadsafe")(global("_settle_engine_waiter"), waiter, job);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;  // the loop closed meanwhile: nobody waits
  }
}

// On the loop: the waiter takes the ended call's outcome, unless it was cancelled meanwhile.
void settle_engine_waiter(py::object waiter, py::object job) {
  if (truthy(waiter.attr("done")())) return;
  if (truthy(job.attr("cancelled")())) {
    waiter.attr("cancel")();
    return;
  }
  py::object e = job.attr("exception")();
  if (!e.is_none()) {
    waiter.attr("set_exception")(e);
  } else {
    waiter.attr("set_result")(job.attr("result")());
  }
}

// The waiter's end: a cancelled waiter cancels its call (which only takes when it has not started).
void waiter_ended(py::object job, py::object waiter) {
  if (truthy(waiter.attr("cancelled")())) job.attr("cancel")();
}

}  // namespace

py::object engine_call_waiter(py::handle job) {
  py::object loop = aio("get_running_loop")();
  py::object waiter = loop.attr("create_future")();
  py::object partial = global("functools").attr("partial");
  waiter.attr("add_done_callback")(partial(global("_engine_waiter_ended"), job));
  py::object waiter_ref = py::module_::import("weakref").attr("ref")(waiter);
  job.attr("add_done_callback")(partial(global("_engine_call_ended_for"), loop, waiter_ref));
  return waiter;
}

void track_engine_call(py::handle self, py::handle job, py::handle rt) {
  hook_exit_once();
  py::object calls = getattr_or(self, "_engine_calls", py::none());
  if (calls.is_none()) {
    calls = py::dict();
    self.attr("_engine_calls") = calls;
    py::object fin = py::module_::import("weakref").attr("finalize")(self, global("_release_when_collected"), calls);
    fin.attr("atexit") = false;  // the exit hook sees to every call
  }
  calls[job] = rt;
  global("_ENGINE_CALLS")[job] = rt;
  job.attr("add_done_callback")(global("functools").attr("partial")(global("_engine_call_ended"), calls));
}

void register_engine_calls(py::module_& m) {
  m.attr("_ENGINE_CALLS") = py::dict();
  m.def("_engine_call_ended", &engine_call_ended, py::arg("calls"), py::arg("job"));
  m.def("_release_engine_calls", &release_engine_calls, py::arg("calls"), py::arg("grace_s"),
        "Gives the engine calls of `calls` still in flight `grace_s` seconds, then closes their runtimes.");
  m.def("_release_engine_calls_at_exit", &release_at_exit);
  m.def("_release_when_collected", &release_when_collected, py::arg("calls"));
  m.def("_engine_call_ended_for", &engine_call_ended_for, py::arg("loop"), py::arg("waiter_ref"), py::arg("job"));
  m.def("_settle_engine_waiter", &settle_engine_waiter, py::arg("waiter"), py::arg("job"));
  m.def("_engine_waiter_ended", &waiter_ended, py::arg("job"), py::arg("waiter"));
}

}  // namespace quorvane::avatar::bind

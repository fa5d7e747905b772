#include "avatar/bind/support.h"

#include <cmath>
#include <limits>

namespace quorvane::avatar::bind {

py::object aio(const char* name) { return global("asyncio").attr(name); }

py::object monotonic_obj() { return global("time").attr("monotonic")(); }

double monotonic() { return as_double(monotonic_obj()); }

std::int64_t as_int(py::handle obj) {
  py::object v = owned(PyNumber_Long(obj.ptr()));
  const long long r = PyLong_AsLongLong(v.ptr());
  if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<std::int64_t>(r);
}

double as_double(py::handle obj) { return PyFloat_AS_DOUBLE(owned(PyNumber_Float(obj.ptr())).ptr()); }

bool equal(py::handle a, py::handle b) { return truthy(owned(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }

bool event_is_set(py::handle event) { return truthy(event.attr("is_set")()); }

bool stopped_or_interrupted(py::handle self) {
  return event_is_set(self.attr("_stop_event")) || event_is_set(self.attr("_interrupt_event"));
}

bool is_aio(const py::error_already_set& e, const char* name) { return e.matches(aio(name)); }

void empty_queue(py::handle q) {
  for (;;) {
    try {
      q.attr("get_nowait")();
    } catch (py::error_already_set& e) {
      if (!is_aio(e, "QueueEmpty")) throw;
      return;
    }
  }
}

namespace {

// What a waiting `within` is woken by: the awaited operation's future is done, or the deadline
// came. It never raises, so it can be a future's done callback and a timer at once.
void wake_waiter(py::object waiter, py::args) {
  if (!truthy(waiter.attr("done")())) waiter.attr("set_result")(py::none());
}

// The flow is being closed: the operation is closed too, and nothing more may be awaited.
bool is_generator_exit(py::handle exc) { return PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit) != 0; }

// Drives the awaited operation `it` as the calling task would, one step at a time, except that
// the task waits on a future of its own (`waiter`), woken when the operation's future is done or
// at the deadline. The deadline never cancels the task: at the deadline the operation's future is
// cancelled and the cancellation thrown into the operation, which then ends as it ends on a task's
// cancellation, and its CancelledError becomes TimeoutError. Every cancellation that reaches the
// task is therefore another task's, and goes on into the operation and out again as it is; a
// result that is there at once is taken at once, whatever the time-out.
// `until` (a future or None) counts as the deadline once it is done.
pb::Coroutine within_flow(py::object aw, py::object timeout_s, py::object until) {
  if (timeout_s.is_none() && until.is_none()) {
    py::object r = co_await pb::awaited(aw);
    co_return r;
  }
  pb::Held it = pb::await_iter(aw);
  aw = py::none();
  pb::Held stop_on = until;
  until = py::none();
  pb::Held loop = aio("get_running_loop")();
  const bool timed = !timeout_s.is_none();
  const double when = timed ? as_double(loop.attr("time")()) + as_double(timeout_s) : 0.0;
  auto due = [&] {
    if (timed && as_double(loop.attr("time")()) >= when) return true;
    return !stop_on.is_none() && truthy(stop_on.attr("done")());
  };
  bool expired = false;
  bool cancelled_from_outside = false;  // then the CancelledError is that one, not the deadline's
  bool throwing = false;
  pb::Held arg = py::none();
  // An error thrown into this task while it waits: GeneratorExit closes the operation and ends
  // here; anything else (another task's cancellation) goes into the operation.
  auto pass_in = [&](py::object external) {
    if (is_generator_exit(external)) {
      it.attr("close")();
      pb::raise_instance(external);
    }
    cancelled_from_outside = cancelled_from_outside || is_instance(external, aio("CancelledError"));
    throwing = true;
    arg = external;
  };
  auto expire = [&] {
    expired = true;
    throwing = true;
    arg = aio("CancelledError")();
  };
  for (;;) {
    py::object out;
    bool yielded = false;
    try {
      yielded = pb::step_iter(it, throwing, arg, out);
    } catch (py::error_already_set& e) {
      if (!expired || cancelled_from_outside || !is_aio(e, "CancelledError")) throw;
      py::object timeout_error = aio("TimeoutError")();
      py::object cause = e.value();
      PyException_SetCause(timeout_error.ptr(), cause.release().ptr());
      pb::raise_instance(timeout_error);
    }
    if (!yielded) co_return out;
    pb::Held y = std::move(out);
    throwing = false;
    arg = py::none();

    if (y.is_none()) {
      // A bare yield: the operation asks to run again at the next turn of the loop.
      py::object external;
      try {
        co_await pb::awaited([&] { return aio("sleep")(0); });
      } catch (...) {
        external = caught_exception();
      }
      if (external) {
        pass_in(external);
      } else if (!expired && due()) {
        expire();
      }
      continue;
    }
    if (!truthy(getattr_or(y, "_asyncio_future_blocking", py::bool_(false)))) {
      throwing = true;
      py::object what = py::str("within: the awaited operation yielded {!r}, not a future").attr("format")(y);
      arg = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(what);
      continue;
    }
    y.attr("_asyncio_future_blocking") = false;
    pb::Held waiter = loop.attr("create_future")();
    pb::Held on_done = global("functools").attr("partial")(global("_wake_waiter"), waiter);
    y.attr("add_done_callback")(on_done);
    pb::Held timer = py::none();
    if (!expired && timed) timer = loop.attr("call_at")(when, global("_wake_waiter"), waiter);
    const bool watch = !expired && !stop_on.is_none();
    if (watch) stop_on.attr("add_done_callback")(on_done);
    py::object external;
    try {
      co_await pb::awaited(waiter);
    } catch (...) {
      external = caught_exception();
    }
    y.attr("remove_done_callback")(on_done);
    if (watch) stop_on.attr("remove_done_callback")(on_done);
    if (!timer.is_none()) timer.attr("cancel")();
    // As a task does on its cancellation, the operation's future is cancelled before the error
    // goes into the operation.
    if (external) {
      if (!is_generator_exit(external)) y.attr("cancel")();
      pass_in(external);
    } else if (!truthy(y.attr("done")())) {
      y.attr("cancel")();
      expire();
    }
  }
}

std::int64_t count_of(py::handle self, const char* counter) {
  return as_int(getattr_or(self, counter, py::int_(0)));
}

// `counter` names the instance's count of the teardowns that drop what is queued: a string
// literal, alive for the whole flow.
pb::Coroutine put_unless_counted_flow(py::object self, py::object q, py::object item, const char* counter) {
  const std::int64_t before = count_of(self, counter);
  co_await pb::awaited([&] { return q.attr("put")(item); });
  // Queue.put lands the item in the very step it resumes in, and this code runs in that step.
  if (count_of(self, counter) != before) {
    keep_in_queue(q, [&](py::handle it) { return !it.is(item); });
    co_return py::bool_(false);
  }
  co_return py::bool_(true);
}

}  // namespace

void register_support(py::module_& m) {
  m.def("_wake_waiter", &wake_waiter, py::arg("waiter"), "Sets the future's result to None unless it is done.");
}

py::object within(py::object aw, py::object timeout_s, py::object until) {
  return py::cast(within_flow(std::move(aw), std::move(timeout_s), std::move(until)));
}

std::int64_t interrupts_of(py::handle self) { return count_of(self, "_interrupts"); }

std::int64_t stops_of(py::handle self) { return count_of(self, "_stops"); }

py::object put_unless_interrupted(py::object self, py::object q, py::object item) {
  return py::cast(put_unless_counted_flow(std::move(self), std::move(q), std::move(item), "_interrupts"));
}

py::object put_unless_stopped(py::object self, py::object q, py::object item) {
  return py::cast(put_unless_counted_flow(std::move(self), std::move(q), std::move(item), "_stops"));
}

void keep_in_queue(py::handle q, const std::function<bool(py::handle)>& keep) {
  py::list kept;
  for (;;) {
    py::object it;
    try {
      it = q.attr("get_nowait")();
    } catch (py::error_already_set& e) {
      if (!is_aio(e, "QueueEmpty")) throw;
      break;
    }
    if (keep(it)) kept.append(it);
  }
  for (py::handle it : kept) q.attr("put_nowait")(it);
}

bool ends_stream(py::handle item) { return item.is(global("_STREAM_END")) || PyExceptionInstance_Check(item.ptr()); }

void wake_consumer(py::handle self) {
  py::object waiter = getattr_or(self, "_sync_wake", py::none());
  if (!waiter.is_none() && !truthy(waiter.attr("done")())) waiter.attr("set_result")(py::none());
}

void close_runtime_now(py::handle rt) {
  py::object closer = getattr_or(rt, "close", py::none());
  if (closer.is_none()) return;
  try {
    closer();
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
    log_warning("quorvane: releasing the engine failed (%s: %s)", type_name(e), e);
  }
}

void raise_assertion() { pb::raise_new(PyExc_AssertionError, py::tuple()); }

void chain_context(py::handle exc, py::handle earlier) {
  if (!exc || !earlier || exc.is(earlier)) return;
  PyException_SetContext(exc.ptr(), Py_NewRef(earlier.ptr()));
}

std::int64_t array_size(py::handle arr) { return as_int(arr.attr("size")); }

void check_tick_divisor(std::int64_t spt) {
  if (spt == 0) pb::raise_new(PyExc_ZeroDivisionError, py::make_tuple("integer division or modulo by zero"));
}

std::int64_t whole_ticks(std::int64_t n_samples, std::int64_t spt) {
  check_tick_divisor(spt);
  std::int64_t q = n_samples / spt;
  if ((n_samples % spt != 0) && ((n_samples < 0) != (spt < 0))) --q;
  return q;
}

py::object empty_f32() {
  py::object np = global("np");
  return np.attr("zeros")(0, py::arg("dtype") = np.attr("float32"));
}

bool int16_scale(float& out) {
  py::object v = global("INT16_MAX");
  if (PyLong_CheckExact(v.ptr())) {
    const long long n = PyLong_AsLongLong(v.ptr());
    if (n == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    // Beyond 2^24 a Python int no longer maps onto one float32 the way the array scalar does.
    if (n > (1LL << 24) || n < -(1LL << 24)) return false;
    out = static_cast<float>(n);
    return true;
  }
  if (PyFloat_CheckExact(v.ptr())) {
    const double d = PyFloat_AS_DOUBLE(v.ptr());
    if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) return false;
    out = static_cast<float>(d);
    return true;
  }
  return false;
}

void warn_invalid_cast(std::size_t invalid) {
  if (invalid == 0) return;
  if (PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1) < 0) {
    throw py::error_already_set();
  }
}

}  // namespace quorvane::avatar::bind

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

pb::Coroutine within_flow(py::object aw, py::object timeout_s) {
  py::object make = getattr_or(global("asyncio"), "timeout", py::none());
  if (make.is_none()) {
    py::object r = co_await pb::awaited(aio("wait_for")(aw, timeout_s));
    co_return r;
  }
  py::object cm = make(timeout_s);
  co_await pb::awaited(cm.attr("__aenter__")());
  py::object result;
  py::object error;
  try {
    result = co_await pb::awaited(aw);
  } catch (...) {
    error = caught_exception();
  }
  if (!error) {
    co_await pb::awaited(cm.attr("__aexit__")(py::none(), py::none(), py::none()));
    co_return result;
  }
  // The deadline's own cancellation comes back as TimeoutError from __aexit__; anything else,
  // another task's cancellation included, goes on as it is.
  py::object tb = getattr_or(error, "__traceback__", py::none());
  py::object swallowed = co_await pb::awaited(cm.attr("__aexit__")(py::type::of(error), error, tb));
  if (truthy(swallowed)) co_return py::none();
  pb::raise_instance(error);
}

pb::Coroutine put_unless_interrupted_flow(py::object self, py::object q, py::object item) {
  const std::int64_t before = interrupts_of(self);
  co_await pb::awaited(q.attr("put")(item));
  // Queue.put lands the item in the very step it resumes in, and this code runs in that step.
  if (interrupts_of(self) != before) {
    keep_in_queue(q, [&](py::handle it) { return !it.is(item); });
    co_return py::bool_(false);
  }
  co_return py::bool_(true);
}

}  // namespace

py::object within(py::object aw, py::object timeout_s) { return py::cast(within_flow(std::move(aw), std::move(timeout_s))); }

std::int64_t interrupts_of(py::handle self) { return as_int(getattr_or(self, "_interrupts", py::int_(0))); }

py::object put_unless_interrupted(py::object self, py::object q, py::object item) {
  return py::cast(put_unless_interrupted_flow(std::move(self), std::move(q), std::move(item)));
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

// Helpers shared by every binding file of quorvane._avatar: the module's own names read afresh at
// each use (as a Python function reads its globals), modules imported at the moment of need, and
// the small pieces of Python semantics (getattr with a default, truth values, isinstance, int(),
// float(), comparisons, exception families) that the members of AsyncAvatar are written in.
//
// Every function here must be called with the GIL held; a Python error raised by what it calls
// propagates as `py::error_already_set`.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "pybridge/flow.h"
#include "pybridge/pyops.h"

namespace quorvane::avatar::bind {

namespace py = pybind11;

// The shared spellings of Python operations (pybridge/pyops.h).
using pybridge::set_module;
using pybridge::global;
using pybridge::import_module;
using pybridge::import_from;
using pybridge::owned;
using pybridge::getattr_or;
using pybridge::has_attr;
using pybridge::truthy;
using pybridge::is_instance;
using pybridge::is_exception;
using pybridge::type_name;
using pybridge::unpack_pair;
using pybridge::caught_exception;
namespace pb = quorvane::pybridge;

/// How long a call in flight on the engine thread may go on once a teardown, the collection of
/// its avatar or the interpreter's exit has given up on it, before its runtime is closed under it:
/// for a model host, closing ends the host, and with it the call. A chunk's render takes well
/// under a second on a machine that keeps up with real time.
constexpr double kEngineGraceS = 2.0;

/// `asyncio.<name>`, through the module's `asyncio`.
py::object aio(const char* name);

/// `time.monotonic()` through the module's `time`, as a Python object and as a double.
py::object monotonic_obj();
double monotonic();

/// `int(obj)` as a C++ integer; OverflowError past the int64 range.
std::int64_t as_int(py::handle obj);

/// `float(obj)` as a double; raises what `float()` raises (so a text such as "0.3" converts as it
/// would in Python).
double as_double(py::handle obj);

/// `a == b` as Python compares them, reduced to its truth value.
bool equal(py::handle a, py::handle b);

/// The truth value of `event.is_set()`.
bool event_is_set(py::handle event);

/// Whether the stream is stopping or a barge-in is pending: `_stop_event` or `_interrupt_event` set.
bool stopped_or_interrupted(py::handle self);

/// Whether the caught error is an instance of `asyncio.<name>` (the class as it is now).
bool is_aio(const py::error_already_set& e, const char* name);

/// Takes every item off the asyncio queue `q` with `get_nowait()` until it raises QueueEmpty,
/// discarding them; any other error propagates. Never waits.
void empty_queue(py::handle q);

/// `async with asyncio.timeout(timeout_s): return await aw`, as a coroutine object, the same on
/// every Python version: the awaited operation runs in the calling task itself (so a barge-in
/// that empties a queue finds its item still there), a cancellation from another task is never
/// swallowed, and a result that is there at once is taken even at a time-out of 0. Raises
/// asyncio.TimeoutError at the deadline; `timeout_s` None waits without one. (asyncio.wait_for runs
/// the operation in a task of its own on 3.11 and older; asyncio.timeout is missing on 3.10.)
/// `until`, a future or None, ends the wait early as the deadline does once it is done: a reader
/// of a stream that has ended is woken by it and takes nothing more.
py::object within(py::object aw, py::object timeout_s, py::object until = py::none());

/// The module functions the helpers here rely on (`_wake_waiter`).
void register_support(py::module_& m);

/// Barge-ins so far on this avatar: the instance's `_interrupts`, 0 when missing.
std::int64_t interrupts_of(py::handle self);

/// `await q.put(item)` as a coroutine object, except that an item whose put was still waiting for
/// room when a barge-in emptied the queue is taken back out in the same step it landed, before any
/// reader can see it: nothing of a dropped utterance follows the barge-in. Its result is whether
/// the item stays queued.
py::object put_unless_interrupted(py::object self, py::object q, py::object item);

/// Stops of a running stream so far on this avatar: the instance's `_stops`, 0 when missing.
std::int64_t stops_of(py::handle self);

/// As `put_unless_interrupted`, for stop(): an item whose put was still waiting for room when
/// stop() emptied the input queue was pushed before the stop, and is taken back out in the step
/// it lands. Its result is whether the item stays queued.
py::object put_unless_stopped(py::object self, py::object q, py::object item);

/// Takes every item off the asyncio queue `q` and puts back, in their order, those for which
/// `keep(item)` holds. Never waits, so no other task sees the queue half rebuilt; the items put
/// back are no more than were taken, so a bounded queue has room.
void keep_in_queue(py::handle q, const std::function<bool(py::handle)>& keep);

/// Whether `item` ends what a reader of the stream gets: the end marker `_STREAM_END` or an error
/// (an exception instance) that ended the producer.
bool ends_stream(py::handle item);

/// Wakes the consumer of run() if it waits for a held picture's voice to play with the sink's
/// hold full (`_sync_wake`, a future it awaits then): a barge-in or a teardown has changed what it
/// holds or what it reads next. Never waits.
void wake_consumer(py::handle self);

/// Calls the runtime's optional `close()`; an error of the Exception family is one warning
/// ("quorvane: releasing the engine failed (%s: %s)") and the call returns normally.
void close_runtime_now(py::handle rt);

/// Raises AssertionError without a message (a failed bare `assert`).
[[noreturn]] void raise_assertion();

/// Makes `earlier` the `__context__` of `exc` (what Python records when `exc` is raised while
/// `earlier` is being handled); nothing when either is empty or they are the same object.
void chain_context(py::handle exc, py::handle earlier);

/// `_log.warning(fmt, *args)`: the format and its arguments handed over unformatted.
template <class... Args>
void log_warning(const char* fmt, Args&&... args) {
  global("_log").attr("warning")(fmt, std::forward<Args>(args)...);
}

// ---- arrays and ticks ---------------------------------------------------------------------------

/// The size of a NumPy array as `arr.size` gives it.
std::int64_t array_size(py::handle arr);

/// Raises ZeroDivisionError, as Python's `//` would, when `spt` is 0.
void check_tick_divisor(std::int64_t spt);

/// `n_samples // spt` with Python's floor and its ZeroDivisionError for 0.
std::int64_t whole_ticks(std::int64_t n_samples, std::int64_t spt);

/// A new empty float32 array.
py::object empty_f32();

/// The records' INT16_MAX as the float32 scale the array arithmetic uses with it, when it is a
/// plain int or float; false (leaving `out` alone) for anything else, which the caller then hands
/// to NumPy itself.
bool int16_scale(float& out);

/// Warns as NumPy's cast does when it met NaN or out-of-range values.
void warn_invalid_cast(std::size_t invalid);

}  // namespace quorvane::avatar::bind

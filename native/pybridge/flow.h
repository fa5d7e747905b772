// C++20 coroutines that Python drives as its own generators, coroutines and async generators.
//
// The avatar APIs are generators and asyncio coroutines at their surface: Python iterates them,
// asyncio's tasks send into them and throw cancellations into them, consumers close them early.
// Writing each of those as a hand-made state machine would bury the logic; instead a C++ function
// returns `Generator`, `Coroutine` or `AsyncGenerator` and uses
//
//     py::object r = co_await awaited(obj);   // `await obj` (delegates like `yield from`)
//     co_yield value;                          // `yield value` (generators, async generators)
//     co_return value;                         // `return value` (coroutines)
//
// The bridge forwards every send, throw and close exactly as Python's own delegation does: values
// yielded by an awaited object (asyncio futures) travel to the driving task unchanged, and an
// exception thrown in (cancellation, GeneratorExit) is raised at the C++ suspension point as a
// `py::error_already_set`, so `try`/`catch` and destructors give `except`/`finally` semantics.
// C++ forbids `co_await` inside a `catch` handler: catch, remember, and await after the handler.
//
// Every function here must be called with the GIL held; the frames hold Python references.
// Coroutine functions must take their parameters by value (a lambda must not capture): the frame
// outlives the call that created it.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <exception>
#include <utility>

namespace quorvane::pybridge {

namespace py = pybind11;

/// Raises the Python exception instance `exc` (keeping its traceback, adding no implicit
/// context) by throwing `py::error_already_set`.
[[noreturn]] void raise_instance(py::handle exc);

/// Builds an instance of exception class `cls` from `args` and raises it as `raise_instance`.
[[noreturn]] void raise_new(py::handle cls, const py::tuple& args);

/// The exception instance held by a caught `py::error_already_set`.
py::object exception_of(const py::error_already_set& e);

/// The iterator that `await obj` delegates to: a native coroutine itself, else `obj.__await__()`.
/// Throws TypeError when `obj` is not awaitable.
py::object await_iter(py::handle obj);

/// State shared by every flow's promise; the driver reads and writes it between resumptions.
struct FlowState {
  py::object inner;        // iterator delegated to by the pending co_await, or empty
  py::object await_value;  // what that iterator returned
  py::object await_exc;    // or the exception it raised
  py::object yielded;      // the value of the pending co_yield
  bool has_yield = false;
  py::object sent;         // the value sent in at a co_yield
  py::object inject;       // exception to raise at the next resumption point
  py::object result;       // the co_return value
  std::exception_ptr error;
};

/// `co_await awaited(obj)`: awaits a Python awaitable; the result is what `await obj` gives.
struct Awaited {
  explicit Awaited(py::handle obj) : iter(await_iter(obj)) {}
  bool await_ready() const noexcept { return false; }
  template <class P>
  void await_suspend(std::coroutine_handle<P> h) noexcept {
    st = &h.promise();
    st->inner = std::move(iter);
  }
  py::object await_resume();

  py::object iter;
  FlowState* st = nullptr;
};
inline Awaited awaited(py::handle obj) { return Awaited(obj); }

/// The suspension of a co_yield: resumes with the sent value or raises the thrown exception.
struct YieldPoint {
  FlowState* st;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  py::object await_resume();
};

template <class Derived>
struct PromiseBase : FlowState {
  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
  Derived get_return_object() {
    return Derived(std::coroutine_handle<typename Derived::promise_type>::from_promise(
        static_cast<typename Derived::promise_type&>(*this)));
  }
};

/// What one driving step produced.
enum class StepKind { Await, Value, Done };
struct StepOut {
  StepKind kind;
  py::object obj;  // the value yielded by the awaited object, the co_yield value, or the result
};

/// The type-erased handle of a flow, owned by exactly one Python-visible object.
class Flow {
 public:
  Flow() = default;
  template <class P>
  explicit Flow(std::coroutine_handle<P> h) : h_(h), st_(&h.promise()) {}
  Flow(Flow&& o) noexcept : h_(std::exchange(o.h_, {})), st_(std::exchange(o.st_, nullptr)),
                            started_(o.started_), running_(o.running_) {}
  Flow& operator=(Flow&&) = delete;
  ~Flow();

  bool started() const { return started_; }
  bool finished() const { return !h_; }
  bool running() const { return running_; }
  bool suspended_in_await() const { return h_ && st_->inner; }

  /// Sends `value` in (or throws `exc` in when `throwing`); runs the C++ until it yields, awaits
  /// something not yet finished, returns or raises. A raised error finishes the flow and
  /// propagates; a return finishes it and comes back as `Done`.
  StepOut step(bool throwing, py::object arg);

  /// Destroys the frame without running it further; destructors of its locals still run.
  void discard();

 private:
  std::coroutine_handle<> h_;
  FlowState* st_ = nullptr;
  bool started_ = false;
  bool running_ = false;
};

/// Return type of a C++ function that Python sees as a generator.
class Generator {
 public:
  struct promise_type : PromiseBase<Generator> {
    YieldPoint yield_value(py::object v) {
      yielded = std::move(v);
      has_yield = true;
      return YieldPoint{this};
    }
    void return_void() noexcept {}
  };
  explicit Generator(std::coroutine_handle<promise_type> h) : flow(h) {}
  Generator(Generator&&) = default;
  Flow flow;
};

/// Return type of a C++ function that Python sees as a coroutine (`async def`).
class Coroutine {
 public:
  struct promise_type : PromiseBase<Coroutine> {
    void return_value(py::object v) { result = std::move(v); }
  };
  explicit Coroutine(std::coroutine_handle<promise_type> h) : flow(h) {}
  Coroutine(Coroutine&&) = default;
  Flow flow;
};

/// Return type of a C++ function that Python sees as an async generator.
class AsyncGenerator {
 public:
  struct promise_type : PromiseBase<AsyncGenerator> {
    YieldPoint yield_value(py::object v) {
      yielded = std::move(v);
      has_yield = true;
      return YieldPoint{this};
    }
    void return_void() noexcept {}
  };
  explicit AsyncGenerator(std::coroutine_handle<promise_type> h) : flow(h) {}
  AsyncGenerator(AsyncGenerator&&) = default;
  Flow flow;
  bool busy = false;  // an anext/asend/athrow/aclose is under way, across its awaits
};

/// Registers the Python types of the three flow kinds in a private submodule `_flow` of `m`
/// (module-local, so each extension module has its own). Call once, before any function returning
/// a flow is defined.
void register_flow_types(py::module_& m);

}  // namespace quorvane::pybridge

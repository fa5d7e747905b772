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
//
// Python's cycle collector sees what a flow's frame holds, as it sees a Python frame's locals: the
// parameters that own a Python reference (`py::object` and its kinds), what the bridge keeps
// between steps, and every local declared `Held`. A plain `py::object` local is invisible to it:
// harmless, except that a cycle running through it is never freed. So a local that lives across a
// suspension and may lead back to the flow's owner (the instance, its queues, tasks and futures)
// is declared `Held`.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

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

struct FlowState;

/// A Python reference in a flow's frame that the cycle collector can see (see the top of this
/// file). Declared outside a running flow it is an ordinary `py::object`. It belongs to the frame
/// it was made in: never keep one beyond it.
class Held : public py::object {
 public:
  Held() { enlist(); }
  Held(py::object o) : py::object(std::move(o)) { enlist(); }  // NOLINT: implicit, as py::object
  template <class T, std::enable_if_t<!std::is_base_of_v<py::object, std::decay_t<T>> &&
                                          std::is_constructible_v<py::object, T&&>, int> = 0>
  Held(T&& v) : py::object(py::object(std::forward<T>(v))) {  // NOLINT: attribute accessors
    enlist();
  }
  Held(const Held& o) : py::object(o) { enlist(); }
  Held(Held&& o) noexcept : py::object(std::move(static_cast<py::object&>(o))) { enlist(); }
  Held& operator=(const Held& o) {
    py::object::operator=(o);
    return *this;
  }
  Held& operator=(Held&& o) noexcept {
    py::object::operator=(std::move(static_cast<py::object&>(o)));
    return *this;
  }
  template <class T, std::enable_if_t<!std::is_base_of_v<Held, std::decay_t<T>> &&
                                          std::is_constructible_v<py::object, T&&>, int> = 0>
  Held& operator=(T&& v) {
    py::object::operator=(py::object(std::forward<T>(v)));
    return *this;
  }
  ~Held() { delist(); }

 private:
  friend struct FlowState;
  void enlist();
  void delist() noexcept;
  FlowState* owner_ = nullptr;
  Held* prev_ = nullptr;
  Held* next_ = nullptr;
};

/// One step of an iterator that `await` delegates to, as a task or a flow drives it: `value` sent
/// in, or thrown in when `throwing` (raised as it is when the iterator has no `throw`). Returns
/// true with what it yielded in `out`, or false with what it returned; what it raises propagates.
bool step_iter(py::handle it, bool throwing, py::handle value, py::object& out);

/// State shared by every flow's promise; the driver reads and writes it between resumptions.
struct FlowState {
  FlowState() = default;
  FlowState(const FlowState&) = delete;
  FlowState& operator=(const FlowState&) = delete;

  /// Visits every Python reference the frame holds that the collector may see (tp_traverse).
  int traverse(visitproc visit, void* arg) const;

  /// The coroutine's parameters that own a Python reference, in its frame.
  std::vector<const py::object*> params;
  Held* held = nullptr;    // the frame's Held locals, newest first

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

/// `co_await awaited([&] { return <expression>; })`: awaits what the expression makes. The
/// expression's temporaries live until the end of the statement that holds them, and a co_await's
/// statement ends only after the flow resumes: attribute lookups cache what they looked up (a bound
/// method holds its instance), so across the suspension the frame would hold references that the
/// cycle collector cannot see. Made inside `make`, they are gone before the flow suspends.
template <class F, std::enable_if_t<!py::detail::is_pyobject<F>::value && std::is_invocable_v<F&>, int> = 0>
Awaited awaited(F&& make) {
  py::object aw = make();
  return Awaited(aw);
}

/// The suspension of a co_yield: resumes with the sent value or raises the thrown exception.
struct YieldPoint {
  FlowState* st;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  py::object await_resume();
};

template <class Derived>
struct PromiseBase : FlowState {
  PromiseBase() = default;
  // Called with the frame's own copies of the coroutine's parameters.
  template <class... Args>
  explicit PromiseBase(Args&... args) {
    (enlist_param(args), ...);
  }
  template <class T>
  void enlist_param(T& a) {
    if constexpr (std::is_base_of_v<py::object, std::remove_cv_t<T>>) params.push_back(&a);
  }
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
                            started_(o.started_), running_(o.running_), finalized_(o.finalized_) {}
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

  /// Closes a suspended frame as Python finalises a dropped generator (GeneratorExit thrown in,
  /// whatever it raises reported as unraisable); at most once, and never while it runs.
  void finalize();

  /// tp_traverse over what the frame holds; nothing once it is finished.
  int traverse(visitproc visit, void* arg) const { return h_ ? st_->traverse(visit, arg) : 0; }

  /// tp_clear: a suspended frame is destroyed, which drops every reference it holds (a cycle
  /// through it is broken); a running one is left alone.
  void clear() {
    if (!running_) discard();
  }

 private:
  std::coroutine_handle<> h_;
  FlowState* st_ = nullptr;
  bool started_ = false;
  bool running_ = false;
  bool finalized_ = false;
};

/// Return type of a C++ function that Python sees as a generator.
class Generator {
 public:
  struct promise_type : PromiseBase<Generator> {
    using PromiseBase<Generator>::PromiseBase;
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
    using PromiseBase<Coroutine>::PromiseBase;
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
    using PromiseBase<AsyncGenerator>::PromiseBase;
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

#include "pybridge/flow.h"

#include <stdexcept>
#include <string>

namespace quorvane::pybridge {

namespace {

// The flow whose frame is running on this thread: the one a Held made now belongs to.
thread_local FlowState* running_flow = nullptr;

py::object steal(PyObject* p) { return py::reinterpret_steal<py::object>(p); }

/// The exception currently set in the interpreter, taken out of it.
py::object fetch_current() {
  py::error_already_set e;
  return exception_of(e);
}

bool is_instance_of(py::handle obj, PyObject* cls) {
  return obj && PyObject_IsInstance(obj.ptr(), cls) == 1;
}

/// `throw(typ[, val[, tb]])`'s first arguments made into one exception instance.
py::object make_exception(py::handle typ, py::handle val) {
  if (PyExceptionInstance_Check(typ.ptr())) {
    if (val && !val.is_none()) {
      raise_new(PyExc_TypeError, py::make_tuple("instance exception may not have a separate value"));
    }
    return py::reinterpret_borrow<py::object>(typ);
  }
  if (PyExceptionClass_Check(typ.ptr())) {
    if (val && PyExceptionInstance_Check(val.ptr())) return py::reinterpret_borrow<py::object>(val);
    if (!val || val.is_none()) return py::reinterpret_borrow<py::object>(typ)();
    if (py::isinstance<py::tuple>(val)) return typ(*py::reinterpret_borrow<py::tuple>(val));
    return typ(val);
  }
  raise_new(PyExc_TypeError,
            py::make_tuple(std::string("exceptions must be classes or instances deriving from "
                                       "BaseException, not ") +
                           Py_TYPE(typ.ptr())->tp_name));
}

[[noreturn]] void raise_stop_iteration(py::object value) {
  if (!value || value.is_none()) raise_new(PyExc_StopIteration, py::tuple());
  raise_new(PyExc_StopIteration, py::make_tuple(std::move(value)));
}

/// A StopIteration (or StopAsyncIteration) escaping a flow's own body becomes a RuntimeError, as
/// it does for Python's generators, so it is never mistaken for the flow's normal end.
template <class F>
StepOut guarded_step(F&& f, const char* kind, bool async_gen) {
  try {
    return f();
  } catch (py::error_already_set& e) {
    const bool stop = e.matches(PyExc_StopIteration);
    const bool astop = async_gen && e.matches(PyExc_StopAsyncIteration);
    if (!stop && !astop) throw;
    py::object cause = exception_of(e);
    py::object err = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(
        std::string(kind) + (stop ? " raised StopIteration" : " raised StopAsyncIteration"));
    PyException_SetCause(err.ptr(), cause.release().ptr());
    raise_instance(err);
  }
}

}  // namespace

void raise_instance(py::handle exc) {
  PyObject* tb = PyException_GetTraceback(exc.ptr());  // new reference or null
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()))), Py_NewRef(exc.ptr()), tb);
  throw py::error_already_set();
}

void raise_new(py::handle cls, const py::tuple& args) {
  py::object exc = steal(PyObject_Call(cls.ptr(), args.ptr(), nullptr));
  if (!exc) throw py::error_already_set();
  raise_instance(exc);
}

py::object exception_of(const py::error_already_set& e) { return e.value(); }

py::object await_iter(py::handle obj) {
  if (PyCoro_CheckExact(obj.ptr())) return py::reinterpret_borrow<py::object>(obj);
  PyTypeObject* t = Py_TYPE(obj.ptr());
  if (t->tp_as_async == nullptr || t->tp_as_async->am_await == nullptr) {
    raise_new(PyExc_TypeError, py::make_tuple(std::string("object ") + t->tp_name +
                                              " can't be used in 'await' expression"));
  }
  py::object it = steal(t->tp_as_async->am_await(obj.ptr()));
  if (!it) throw py::error_already_set();
  if (PyCoro_CheckExact(it.ptr()) || !PyIter_Check(it.ptr())) {
    raise_new(PyExc_TypeError, py::make_tuple(std::string("__await__() returned a non-iterator of type '") +
                                              Py_TYPE(it.ptr())->tp_name + "'"));
  }
  return it;
}

py::object Awaited::await_resume() {
  if (st->await_exc) {
    py::object e = std::move(st->await_exc);
    st->await_exc = py::object();
    raise_instance(e);
  }
  py::object v = std::move(st->await_value);
  st->await_value = py::object();
  return v ? v : py::none();
}

py::object YieldPoint::await_resume() {
  if (st->inject) {
    py::object e = std::move(st->inject);
    st->inject = py::object();
    raise_instance(e);
  }
  py::object v = std::move(st->sent);
  st->sent = py::object();
  return v ? v : py::none();
}

bool step_iter(py::handle it, bool throwing, py::handle value, py::object& out) {
  if (!throwing) {
    PyObject* res = nullptr;
    const PySendResult r = PyIter_Send(it.ptr(), value.ptr(), &res);
    if (r == PYGEN_ERROR) throw py::error_already_set();
    out = steal(res);
    return r == PYGEN_NEXT;
  }
  py::object thrower = py::getattr(it, "throw", py::none());
  if (thrower.is_none()) raise_instance(value);
  PyObject* res = PyObject_CallOneArg(thrower.ptr(), value.ptr());
  if (res != nullptr) {
    out = steal(res);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw py::error_already_set();
  py::object si = fetch_current();
  out = py::getattr(si, "value", py::none());
  return false;
}

void Held::enlist() {
  owner_ = running_flow;
  if (owner_ == nullptr) return;
  next_ = owner_->held;
  if (next_ != nullptr) next_->prev_ = this;
  owner_->held = this;
}

void Held::delist() noexcept {
  if (owner_ == nullptr) return;
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    owner_->held = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
  owner_ = nullptr;
}

int FlowState::traverse(visitproc visit, void* arg) const {
  for (const py::object* o : {&inner, &await_value, &await_exc, &yielded, &sent, &inject, &result}) {
    Py_VISIT(o->ptr());
  }
  for (const py::object* p : params) Py_VISIT(p->ptr());
  for (const Held* h = held; h != nullptr; h = h->next_) Py_VISIT(h->ptr());
  return 0;
}

Flow::~Flow() {
  finalize();
  discard();
}

void Flow::finalize() {
  if (!h_ || finalized_) return;
  finalized_ = true;
  if (started_ && !running_) {
    // Dropped while suspended: close it the way Python finalises a generator, so cleanup in the
    // frame runs; whatever it raises is reported as unraisable, never propagated.
    py::error_scope keep_pending_error;
    try {
      StepOut out = step(true, py::reinterpret_borrow<py::object>(PyExc_GeneratorExit)());
      (void)out;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_GeneratorExit) && !e.matches(PyExc_StopIteration) &&
          !e.matches(PyExc_StopAsyncIteration)) {
        e.discard_as_unraisable("closing a dropped flow");
      }
    } catch (...) {
    }
  }
}

void Flow::discard() {
  if (h_) {
    std::coroutine_handle<> h = std::exchange(h_, {});
    st_ = nullptr;
    h.destroy();
  }
}

StepOut Flow::step(bool throwing, py::object arg) {
  if (!h_) throw std::logic_error("step of a finished flow");
  started_ = true;
  running_ = true;
  struct Idle {
    bool& flag;
    ~Idle() { flag = false; }
  } idle{running_};
  for (;;) {
    if (st_->inner) {
      py::object inner = std::move(st_->inner);
      st_->inner = py::object();
      if (throwing && is_instance_of(arg, PyExc_GeneratorExit)) {
        // As Python's delegation does: close the awaited iterator, then raise GeneratorExit here
        // (or the error its close raised).
        st_->await_exc = arg;
        py::object closer = py::getattr(inner, "close", py::none());
        if (!closer.is_none()) {
          PyObject* res = PyObject_CallNoArgs(closer.ptr());
          if (res == nullptr) {
            st_->await_exc = fetch_current();
          } else {
            Py_DECREF(res);
          }
        }
      } else {
        try {
          py::object out;
          if (step_iter(inner, throwing, arg, out)) {
            st_->inner = std::move(inner);
            return {StepKind::Await, out};
          }
          st_->await_value = std::move(out);
        } catch (py::error_already_set& e) {
          st_->await_exc = exception_of(e);
        }
      }
    } else if (throwing) {
      st_->inject = arg;
    } else {
      st_->sent = arg;
    }
    {
      struct Running {
        FlowState* saved;
        explicit Running(FlowState* now) : saved(std::exchange(running_flow, now)) {}
        ~Running() { running_flow = saved; }
      } running{st_};
      h_.resume();
    }
    if (h_.done()) {
      std::exception_ptr err = st_->error;
      py::object result = std::move(st_->result);
      discard();
      if (err) std::rethrow_exception(err);
      return {StepKind::Done, result ? result : py::none()};
    }
    if (st_->has_yield) {
      st_->has_yield = false;
      py::object v = std::move(st_->yielded);
      st_->yielded = py::object();
      return {StepKind::Value, v};
    }
    // A new co_await began: prime it.
    throwing = false;
    arg = py::none();
  }
}

namespace {

// ---- generator ----------------------------------------------------------------------------

py::object gen_send(Generator& g, py::object value) {
  Flow& f = g.flow;
  if (f.running()) raise_new(PyExc_ValueError, py::make_tuple("generator already executing"));
  if (f.finished()) raise_stop_iteration(py::none());
  if (!f.started() && !value.is_none()) {
    raise_new(PyExc_TypeError, py::make_tuple("can't send non-None value to a just-started generator"));
  }
  StepOut out = guarded_step([&] { return f.step(false, std::move(value)); }, "generator", false);
  if (out.kind == StepKind::Value) return out.obj;
  if (out.kind == StepKind::Await) {
    f.discard();
    raise_new(PyExc_RuntimeError, py::make_tuple("a generator awaited"));
  }
  raise_stop_iteration(py::none());
}

py::object gen_throw(Generator& g, py::object typ, py::object val, py::object) {
  Flow& f = g.flow;
  if (f.running()) raise_new(PyExc_ValueError, py::make_tuple("generator already executing"));
  py::object exc = make_exception(typ, val);
  if (!f.started() || f.finished()) {
    f.discard();
    raise_instance(exc);
  }
  StepOut out = guarded_step([&] { return f.step(true, exc); }, "generator", false);
  if (out.kind == StepKind::Value) return out.obj;
  raise_stop_iteration(py::none());
}

// close() of a generator or a coroutine (`kind` names it in the errors): GeneratorExit is thrown
// in, and coming back out (or as StopIteration) it means the body finished as asked.
void close_flow(Flow& f, const std::string& kind) {
  if (f.running()) raise_new(PyExc_ValueError, py::make_tuple(kind + " already executing"));
  if (!f.started() || f.finished()) {
    f.discard();
    return;
  }
  StepOut out;
  try {
    out = f.step(true, py::reinterpret_borrow<py::object>(PyExc_GeneratorExit)());
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_GeneratorExit) || e.matches(PyExc_StopIteration)) return;
    throw;
  }
  if (out.kind != StepKind::Done) {
    raise_new(PyExc_RuntimeError, py::make_tuple(kind + " ignored GeneratorExit"));
  }
}

void gen_close(Generator& g) { close_flow(g.flow, "generator"); }

// ---- coroutine ----------------------------------------------------------------------------

py::object coro_send(Coroutine& c, py::object value) {
  Flow& f = c.flow;
  if (f.running()) raise_new(PyExc_ValueError, py::make_tuple("coroutine already executing"));
  if (f.finished()) raise_new(PyExc_RuntimeError, py::make_tuple("cannot reuse already awaited coroutine"));
  if (!f.started() && !value.is_none()) {
    raise_new(PyExc_TypeError, py::make_tuple("can't send non-None value to a just-started coroutine"));
  }
  StepOut out = guarded_step([&] { return f.step(false, std::move(value)); }, "coroutine", false);
  if (out.kind == StepKind::Await) return out.obj;
  raise_stop_iteration(out.obj);
}

py::object coro_throw(Coroutine& c, py::object typ, py::object val, py::object) {
  Flow& f = c.flow;
  if (f.running()) raise_new(PyExc_ValueError, py::make_tuple("coroutine already executing"));
  py::object exc = make_exception(typ, val);
  if (!f.started() || f.finished()) {
    f.discard();
    raise_instance(exc);
  }
  StepOut out = guarded_step([&] { return f.step(true, exc); }, "coroutine", false);
  if (out.kind == StepKind::Await) return out.obj;
  raise_stop_iteration(out.obj);
}

void coro_close(Coroutine& c) { close_flow(c.flow, "coroutine"); }

// ---- async generator ----------------------------------------------------------------------

/// The awaitable of one `__anext__`, `asend`, `athrow` or `aclose` call.
struct AsyncGenStep {
  enum class Mode { Send, Throw, Close };
  enum class State { Init, Iter, Closed };
  py::object gen;  // the AsyncGenerator's Python object
  Mode mode;
  py::object arg;  // the value to send, or the exception to throw
  State state = State::Init;
};

AsyncGenerator& agen_of(AsyncGenStep& s) { return s.gen.cast<AsyncGenerator&>(); }

py::object agen_finish(AsyncGenStep& s, StepOut out) {
  AsyncGenerator& g = agen_of(s);
  if (out.kind == StepKind::Await) return out.obj;
  s.state = AsyncGenStep::State::Closed;
  g.busy = false;
  if (s.mode == AsyncGenStep::Mode::Close) {
    if (out.kind == StepKind::Value) {
      raise_new(PyExc_RuntimeError, py::make_tuple("async generator ignored GeneratorExit"));
    }
    raise_stop_iteration(py::none());
  }
  if (out.kind == StepKind::Value) raise_stop_iteration(out.obj);
  raise_new(PyExc_StopAsyncIteration, py::tuple());
}

template <class F>
py::object agen_run(AsyncGenStep& s, F&& f) {
  AsyncGenerator& g = agen_of(s);
  StepOut out;
  try {
    out = guarded_step(std::forward<F>(f), "async generator", true);
  } catch (py::error_already_set& e) {
    s.state = AsyncGenStep::State::Closed;
    g.busy = false;
    if (s.mode == AsyncGenStep::Mode::Close &&
        (e.matches(PyExc_GeneratorExit) || e.matches(PyExc_StopAsyncIteration))) {
      raise_stop_iteration(py::none());
    }
    throw;
  }
  return agen_finish(s, std::move(out));
}

const char* agen_op_name(AsyncGenStep::Mode m) {
  switch (m) {
    case AsyncGenStep::Mode::Send: return "anext(): asynchronous generator is already running";
    case AsyncGenStep::Mode::Throw: return "athrow(): asynchronous generator is already running";
    case AsyncGenStep::Mode::Close: return "aclose(): asynchronous generator is already running";
  }
  return "asynchronous generator is already running";
}

py::object agen_step_send(AsyncGenStep& s, py::object value) {
  if (s.state == AsyncGenStep::State::Closed) {
    raise_new(PyExc_RuntimeError, py::make_tuple("cannot reuse already awaited __anext__()/asend()"));
  }
  AsyncGenerator& g = agen_of(s);
  Flow& f = g.flow;
  if (s.state == AsyncGenStep::State::Iter) {
    return agen_run(s, [&] { return f.step(false, std::move(value)); });
  }
  if (g.busy) raise_new(PyExc_RuntimeError, py::make_tuple(agen_op_name(s.mode)));
  switch (s.mode) {
    case AsyncGenStep::Mode::Send: {
      if (f.finished()) {
        s.state = AsyncGenStep::State::Closed;
        raise_new(PyExc_StopAsyncIteration, py::tuple());
      }
      py::object v = s.arg.is_none() ? value : s.arg;
      if (!f.started() && !v.is_none()) {
        raise_new(PyExc_TypeError,
                  py::make_tuple("can't send non-None value to a just-started async generator"));
      }
      s.state = AsyncGenStep::State::Iter;
      g.busy = true;
      return agen_run(s, [&] { return f.step(false, v); });
    }
    case AsyncGenStep::Mode::Throw: {
      if (!f.started() || f.finished()) {
        s.state = AsyncGenStep::State::Closed;
        f.discard();
        raise_instance(s.arg);
      }
      s.state = AsyncGenStep::State::Iter;
      g.busy = true;
      return agen_run(s, [&] { return f.step(true, s.arg); });
    }
    case AsyncGenStep::Mode::Close: {
      if (!f.started() || f.finished()) {
        s.state = AsyncGenStep::State::Closed;
        f.discard();
        raise_stop_iteration(py::none());
      }
      s.state = AsyncGenStep::State::Iter;
      g.busy = true;
      return agen_run(s, [&] {
        return f.step(true, py::reinterpret_borrow<py::object>(PyExc_GeneratorExit)());
      });
    }
  }
  raise_new(PyExc_RuntimeError, py::make_tuple("bad async generator step"));
}

py::object agen_step_throw(AsyncGenStep& s, py::object typ, py::object val, py::object) {
  if (s.state == AsyncGenStep::State::Closed) {
    raise_new(PyExc_RuntimeError, py::make_tuple("cannot reuse already awaited __anext__()/asend()"));
  }
  AsyncGenerator& g = agen_of(s);
  Flow& f = g.flow;
  py::object exc = make_exception(typ, val);
  if (!f.started() || f.finished()) {
    s.state = AsyncGenStep::State::Closed;
    f.discard();
    raise_instance(exc);
  }
  s.state = AsyncGenStep::State::Iter;
  g.busy = true;
  return agen_run(s, [&] { return f.step(true, exc); });
}

// What each Python type of the bridge shows the cycle collector, and how it lets go.
int traverse_of(const Generator& g, visitproc visit, void* arg) { return g.flow.traverse(visit, arg); }
int traverse_of(const Coroutine& c, visitproc visit, void* arg) { return c.flow.traverse(visit, arg); }
int traverse_of(const AsyncGenerator& g, visitproc visit, void* arg) { return g.flow.traverse(visit, arg); }
int traverse_of(const AsyncGenStep& s, visitproc visit, void* arg) {
  Py_VISIT(s.gen.ptr());
  Py_VISIT(s.arg.ptr());
  return 0;
}
void clear_of(Generator& g) { g.flow.clear(); }
void clear_of(Coroutine& c) { c.flow.clear(); }
void clear_of(AsyncGenerator& g) { g.flow.clear(); }
// A step's generator is cleared on its own; what the step was to send or throw goes.
void clear_of(AsyncGenStep& s) { s.arg = py::none(); }
void finalize_of(Generator& g) { g.flow.finalize(); }
void finalize_of(Coroutine& c) { c.flow.finalize(); }
void finalize_of(AsyncGenerator& g) { g.flow.finalize(); }
void finalize_of(AsyncGenStep&) {}

/// Makes a bridge type take part in cycle collection, as Python's own generators do: a flow whose
/// frame holds its owner (an instance whose task runs the flow) is freed once nothing else holds
/// either.
template <class T>
py::custom_type_setup collected() {
  return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
    PyTypeObject* type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
      Py_VISIT(Py_TYPE(self));
      if (!py::detail::is_holder_constructed(self)) return 0;
      return traverse_of(py::cast<const T&>(py::handle(self)), visit, arg);
    };
    type->tp_clear = [](PyObject* self) -> int {
      if (py::detail::is_holder_constructed(self)) clear_of(py::cast<T&>(py::handle(self)));
      return 0;
    };
    // As for Python's generators, a suspended flow in a garbage cycle is closed before anything
    // of the cycle is cleared, so its cleanup runs with what it holds still in place.
    type->tp_finalize = [](PyObject* self) {
      if (py::detail::is_holder_constructed(self)) finalize_of(py::cast<T&>(py::handle(self)));
    };
  });
}

}  // namespace

void register_flow_types(py::module_& module) {
  // Under a private submodule: the types are the bridge's, not names the module offers.
  py::module_ m = module.def_submodule("_flow", "The Python types of the C++ flows this module returns.");
  py::class_<Generator>(m, "generator", py::module_local(), collected<Generator>())
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", [](Generator& g) { return gen_send(g, py::none()); })
      .def("send", &gen_send, py::arg("value"))
      .def("throw", &gen_throw, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none())
      .def("close", &gen_close)
      .def_property_readonly("gi_running", [](Generator& g) { return g.flow.running(); });

  py::class_<Coroutine>(m, "coroutine", py::module_local(), collected<Coroutine>())
      .def("__await__", [](py::object self) { return self; })
      .def("__next__", [](Coroutine& c) { return coro_send(c, py::none()); })
      .def("send", &coro_send, py::arg("value"))
      .def("throw", &coro_throw, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none())
      .def("close", &coro_close)
      .def_property_readonly("cr_running", [](Coroutine& c) { return c.flow.running(); })
      .def_property_readonly("cr_suspended_in_await",
                             [](Coroutine& c) { return c.flow.suspended_in_await(); });

  py::class_<AsyncGenStep>(m, "async_generator_step", py::module_local(), collected<AsyncGenStep>())
      .def("__await__", [](py::object self) { return self; })
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", [](AsyncGenStep& s) { return agen_step_send(s, py::none()); })
      .def("send", &agen_step_send, py::arg("value"))
      .def("throw", &agen_step_throw, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none())
      .def("close", [](AsyncGenStep& s) { s.state = AsyncGenStep::State::Closed; });

  py::class_<AsyncGenerator>(m, "async_generator", py::module_local(), collected<AsyncGenerator>())
      .def("__aiter__", [](py::object self) { return self; })
      .def("__anext__", [](py::object self) {
        return AsyncGenStep{self, AsyncGenStep::Mode::Send, py::none()};
      })
      .def("asend", [](py::object self, py::object value) {
        return AsyncGenStep{self, AsyncGenStep::Mode::Send, value};
      }, py::arg("value"))
      .def("athrow", [](py::object self, py::object typ, py::object val, py::object) {
        return AsyncGenStep{self, AsyncGenStep::Mode::Throw, make_exception(typ, val)};
      }, py::arg("typ"), py::arg("val") = py::none(), py::arg("tb") = py::none())
      .def("aclose", [](py::object self) {
        return AsyncGenStep{self, AsyncGenStep::Mode::Close, py::none()};
      })
      .def_property_readonly("ag_running", [](AsyncGenerator& g) { return g.busy; });
}

}  // namespace quorvane::pybridge

// quorvane._flowprobe: a few small flows whose behaviour the tests compare with the same logic
// written as Python generators and coroutines. It exists only to pin the bridge's semantics.
#include <pybind11/pybind11.h>

#include "pybridge/flow.h"
#include "pybridge/pyclass.h"

namespace py = pybind11;
using quorvane::pybridge::AsyncGenerator;
using quorvane::pybridge::awaited;
using quorvane::pybridge::Coroutine;
using quorvane::pybridge::Generator;

namespace {

/// Appends `what` to `log` when the frame is left, however it is left. `log` is the flow's own
/// argument, which outlives the frame's locals; it is borrowed, so the collector sees every
/// reference the frame holds to it.
struct Note {
  py::handle log;
  const char* what;
  ~Note() { log.attr("append")(what); }
};

// def count(n, log):
//     try:
//         for i in range(n):
//             got = yield i
//             if got is not None: log.append(("got", got))
//     except GeneratorExit:
//         log.append("exit"); raise
//     finally:
//         log.append("finally")
Generator count(py::int_ n, py::object log) {
  Note fin{log, "finally"};
  const long limit = n.cast<long>();
  for (long i = 0; i < limit; ++i) {
    py::object got;
    try {
      got = co_yield py::int_(i);
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_GeneratorExit)) log.attr("append")("exit");
      throw;
    }
    if (!got.is_none()) log.attr("append")(py::make_tuple("got", got));
  }
}

// def relay(it):  (yields every item of an iterator, then raises ValueError("done") if asked)
Generator relay(py::object it, bool fail_at_end) {
  for (py::handle item : it) co_yield py::reinterpret_borrow<py::object>(item);
  if (fail_at_end) throw py::value_error("done");
}

// async def wait_then(aw, tag): return (await aw, tag)
Coroutine wait_then(py::object aw, py::object tag) {
  py::object r = co_await awaited(aw);
  co_return py::make_tuple(r, tag);
}

// async def guarded(aw, log):
//     try:
//         await aw
//     except asyncio.CancelledError:
//         log.append("cancelled"); await asyncio.sleep(0); log.append("cleaned"); raise
//     return "finished"
Coroutine guarded(py::object aw, py::object log) {
  py::object asyncio = py::module_::import("asyncio");
  bool cancelled = false;
  py::object err;
  try {
    co_await awaited(aw);
  } catch (py::error_already_set& e) {
    if (!e.matches(asyncio.attr("CancelledError"))) throw;
    cancelled = true;
    err = e.value();
  }
  if (cancelled) {
    log.attr("append")("cancelled");
    co_await awaited(asyncio.attr("sleep")(0));
    log.attr("append")("cleaned");
    quorvane::pybridge::raise_instance(err);
  }
  co_return py::str("finished");
}

// async def drain(queue, log):
//     try:
//         while (item := await queue.get()) is not None:
//             yield item
//     finally:
//         log.append("finally")
AsyncGenerator drain(py::object queue, py::object log) {
  Note fin{log, "finally"};
  for (;;) {
    py::object item = co_await awaited([&] { return queue.attr("get")(); });
    if (item.is_none()) co_return;
    co_yield item;
  }
}

// def keeps(make):
//     kept = make()
//     yield kept
//     yield None
// (what `make` gives lives only in a local of the frame across both yields)
Generator keeps(py::object make) {
  quorvane::pybridge::Held kept = make();
  make = py::none();
  co_yield py::object(kept);
  co_yield py::none();
}

}  // namespace

PYBIND11_MODULE(_flowprobe, m) {
  quorvane::pybridge::register_flow_types(m);
  m.def("count", &count, py::arg("n"), py::arg("log"));
  m.def("relay", &relay, py::arg("it"), py::arg("fail_at_end") = false);
  m.def("wait_then", &wait_then, py::arg("aw"), py::arg("tag"));
  m.def("guarded", &guarded, py::arg("aw"), py::arg("log"));
  m.def("drain", &drain, py::arg("queue"), py::arg("log"));
  m.def("keeps", &keeps, py::arg("make"));

  // class Tally: __slots__ = ("n",); a keyword-only constructor, a method, a property, a class
  // method that builds through `cls`, and a coroutine method.
  namespace pb = quorvane::pybridge;
  py::dict ns;
  ns["__slots__"] = py::make_tuple("n");
  ns["__doc__"] = "A count.";
  py::object tally = pb::make_class("quorvane._flowprobe", "Tally", py::make_tuple(), ns);
  pb::def_method(tally, "__init__", [](py::object self, py::object start) { self.attr("n") = start; },
                 py::kw_only(), py::arg("start") = 0);
  pb::def_method(tally, "add", [](py::object self, py::int_ k) {
    self.attr("n") = py::object(self.attr("n")) + k;
    return self.attr("n");
  });
  pb::def_property(tally, "doubled", [](py::object self) { return py::object(self.attr("n")) * py::int_(2); });
  pb::def_classmethod(tally, "make", [](py::object cls, py::object start) { return cls(**py::dict(py::arg("start") = start)); },
                      py::arg("cls"), py::kw_only(), py::arg("start"));
  pb::def_method(tally, "later", [](py::object self, py::object aw) -> Coroutine {
    py::object r = co_await awaited(aw);
    self.attr("n") = r;
    co_return self.attr("n");
  });
  m.attr("Tally") = tally;
}

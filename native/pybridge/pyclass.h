// Python classes made from C++ the way a class statement makes them.
//
// The avatar APIs' classes must behave exactly like Python classes: they derive from Python base
// classes of other modules, are subclassed by callers, carry `__slots__` or a free `__dict__`, get
// attributes added lazily and read back with `getattr` defaults. So they are built with
// `type(name, bases, namespace)` and given C++ functions as methods, properties, class methods and
// static methods; their instance state lives in ordinary Python attributes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

namespace quorvane::pybridge {

namespace py = pybind11;

/// A new class `name` of module `module`, from `bases` and the namespace `ns` (which may hold
/// `__slots__`, `__doc__`, class attributes); `qualname` defaults to `name`.
inline py::object make_class(const char* module, const char* name, py::tuple bases, py::dict ns,
                             const char* qualname = nullptr) {
  ns["__module__"] = module;
  ns["__qualname__"] = qualname ? qualname : name;
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
}

/// Adds `f` as method `name` of `cls` (it binds its instance as the first argument, like a
/// function in a class body). Argument annotations name the arguments after the instance.
/// Methods are never overloads of one another, so no sibling is chained.
template <class F, class... Extra>
void def_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
  // pybind11 treats a function named __init__ as a constructor of one of its own types and would
  // read the instance as such; these instances are plain Python objects, so it gets another name.
  const bool init = std::string_view(name) == "__init__";
  py::cpp_function fn(std::forward<F>(f), py::name(init ? "_init" : name), py::is_method(cls), extra...);
  py::setattr(cls, name, fn);
}

/// Adds a read-only property `name` to `cls` whose getter is `f(self)`.
template <class F>
void def_property(py::handle cls, const char* name, F&& f, const char* doc = nullptr) {
  py::cpp_function getter(std::forward<F>(f), py::name(name));
  py::object prop = py::module_::import("builtins").attr("property")(getter, py::none(), py::none(),
                                                                      doc ? py::object(py::str(doc)) : py::object(py::none()));
  py::setattr(cls, name, prop);
}

/// Adds `f` as class method `name` of `cls` (`f`'s first argument is the class).
template <class F, class... Extra>
void def_classmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
  py::setattr(cls, name, py::reinterpret_steal<py::object>(PyClassMethod_New(fn.ptr())));
}

/// A genuine `async def` function `name` (qualified name `qualname`) with the parameters `params`
/// (Python syntax; defaults are evaluated in `module`'s namespace) whose body is
/// `return await impl(<every parameter, in order>)`. `impl` takes the parameters positionally
/// (keyword-only ones too) and returns an awaitable.
///
/// Frameworks decide whether to await a member by asking `inspect.iscoroutinefunction` or
/// `asyncio.iscoroutinefunction`, read its `inspect.signature`, and name the coroutine objects it
/// makes. On Python 3.11 only a function whose code is a coroutine's answers yes, so a C++
/// coroutine is presented through this thin function: one more frame per call.
py::object async_def(py::handle module, const char* name, const std::string& qualname, const char* params,
                     py::object impl);

/// Adds `f` (a C++ function returning an awaitable, the instance first) as coroutine method `name`
/// of `cls`, presented as an `async def` with the parameters `params` (the instance's included).
template <class F>
void def_coroutine_method(py::handle module, py::handle cls, const char* name, const char* params, F&& f) {
  py::cpp_function impl(std::forward<F>(f), py::name(name));
  const std::string qualname = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
  py::setattr(cls, name, async_def(module, name, qualname, params, impl));
}

/// As `def_coroutine_method`, as a class method (`f` takes the class first).
template <class F>
void def_coroutine_classmethod(py::handle module, py::handle cls, const char* name, const char* params, F&& f) {
  py::cpp_function impl(std::forward<F>(f), py::name(name));
  const std::string qualname = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
  py::object fn = async_def(module, name, qualname, params, impl);
  py::setattr(cls, name, py::reinterpret_steal<py::object>(PyClassMethod_New(fn.ptr())));
}

/// Adds `f` as static method `name` of `cls`.
template <class F, class... Extra>
void def_staticmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
  py::setattr(cls, name, py::reinterpret_steal<py::object>(PyStaticMethod_New(fn.ptr())));
}

}  // namespace quorvane::pybridge

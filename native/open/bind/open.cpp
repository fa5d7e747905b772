// Python names of opening an avatar: the checks of the path, the engine id read from the
// avatar, the choice and construction of its engine, and the mapping of engine errors onto the
// package's avatar errors.
#include <string>

#include "open/bind/api.h"
#include "open/bind/common.h"
#include "open/open_messages.h"

namespace quorvane::open::bind {

namespace {

py::object frozenset_of(std::initializer_list<const char*> ids) {
  py::list items;
  for (const char* id : ids) items.append(id);
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFrozenSet_Type))(items);
}

bool in_set(const char* set_name, py::handle engine_id) {
  const int r = PySequence_Contains(global(set_name).ptr(), engine_id.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object first_arg(py::handle exc) { return exc.attr("args")[py::int_(0)]; }

[[noreturn]] void raise_cannot_run() { raise_avatar_error("NotSupported", kCannotRunHere); }

// _engine_of(source) -> str
py::object engine_of(py::object source) {
  py::object read_manifest = import_from("quorvane._imx_engine", "read_manifest");
  py::object resolve_engine = import_from("quorvane._imx_engine", "resolve_engine");
  py::object man = read_manifest(source);
  if (man.is_none()) return py::str("corvine1");  // no manifest: a corvine-1 fixture
  return resolve_engine(man);
}

// The rows every engine builder shares: unavailable engines, failed engines, file trouble.
[[noreturn]] void map_engine_error(py::object exc, py::handle engine_failed, py::handle engine_unavailable) {
  if (is_instance(exc, engine_unavailable)) raise_refused("NotSupported", first_arg(exc), exc.attr("detail"));
  if (is_instance(exc, engine_failed)) raise_refused("Failed", first_arg(exc), exc.attr("detail"));
  if (is_instance(exc, PyExc_OSError)) raise_refused("Failed", py::str("could not prepare that avatar"), exc);
  pb::raise_instance(exc);
}

// _open_engine(source, engine_id, prebuilt=None) -> Avatar
py::object open_engine(py::object source, py::object engine_id, py::object prebuilt) {
  py::object avatar_outdated = import_from("quorvane._session", "AvatarOutdated");
  py::object engine_failed = import_from("quorvane._session", "EngineFailed");
  py::object engine_unavailable = import_from("quorvane._session", "EngineUnavailable");
  if (!prebuilt.is_none()) return global("Avatar")(prebuilt, engine_id);
  py::object engine;
  try {
    if (in_set("_SESSION", engine_id)) {
      engine = global("_SessionEngine")(source);
    } else if (in_set("_FIXTURE", engine_id)) {
      engine = global("_FixtureEngine")(source);
    } else if (in_set("_LITERT", engine_id)) {
      engine = import_from("quorvane._mirrant2", "Mirrant2Engine")(source);
    } else if (in_set("_UNIFIED", engine_id)) {
      engine = global("_unified_engine")(source);
    } else {
      raise_cannot_run();
    }
  } catch (...) {
    py::object exc = caught_exception();
    if (!is_exception(exc) || is_instance(exc, errors_attr("AvatarError"))) pb::raise_instance(exc);
    if (is_instance(exc, engine_unavailable)) raise_refused("NotSupported", first_arg(exc), exc.attr("detail"));
    if (is_instance(exc, avatar_outdated)) {
      py::object outdated = errors_attr("_Outdated");
      // The refusal is built for what it records; the error raised is the outdated one.
      refuse("InvalidAvatar", first_arg(exc), exc.attr("detail"));
      pb::raise_instance(outdated(first_arg(exc), exc.attr("code")));
    }
    map_engine_error(exc, engine_failed, engine_unavailable);
  }
  return global("Avatar")(engine, engine_id);
}

// _build_engine(source, engine_id) -> Mirrant2Engine; the id is accepted and not used.
py::object build_engine(py::object source, py::object) {
  py::object engine_failed = import_from("quorvane._session", "EngineFailed");
  py::object engine_unavailable = import_from("quorvane._session", "EngineUnavailable");
  try {
    py::object cls = import_from("quorvane._mirrant2", "Mirrant2Engine");
    return cls(source);
  } catch (...) {
    py::object exc = caught_exception();
    if (!is_exception(exc) || is_instance(exc, errors_attr("AvatarError"))) pb::raise_instance(exc);
    map_engine_error(exc, engine_failed, engine_unavailable);
  }
}

// repr(e.__cause__ or e)
py::object cause_repr(py::handle exc) {
  py::object cause = exc.attr("__cause__");
  return py::repr(truthy(cause) ? cause : py::reinterpret_borrow<py::object>(exc));
}

// _unified_engine(source) -> C2UEngine over the unpacked avatar
py::object unified_engine(py::object source) {
  py::object engine_cls = import_from("quorvane._c2u.engine", "C2UEngine");
  py::object invalid = import_from("quorvane._c2u.engine", "C2UInvalid");
  py::object unavailable = import_from("quorvane._c2u.engine", "C2UUnavailable");
  // Outside the mapping below: the cache's own errors reach the caller's mapping as they are.
  py::object bundle = global("_materialise")(source);
  try {
    return engine_cls(bundle);
  } catch (...) {
    py::object exc = caught_exception();
    if (is_instance(exc, unavailable)) {
      raise_refused("NotSupported", py::str(first_arg(exc)), cause_repr(exc));
    }
    if (is_instance(exc, invalid)) {
      raise_refused("InvalidAvatar", py::str(first_arg(exc)), cause_repr(exc));
    }
    pb::raise_instance(exc);
  }
}

// _apple_host_bundled() -> bool
bool apple_host_bundled() {
  try {
    py::object apple = import_from("quorvane._mirrant2", "_apple");
    return !apple.attr("bundled_host")().is_none();
  } catch (...) {
    py::object exc = caught_exception();
    if (!is_exception(exc)) pb::raise_instance(exc);
    return false;
  }
}

// open(source) -> Avatar
py::object open_avatar(py::object source) {
  py::object os = global("os");
  // Taken as file calls take a path: a name of bytes (given as such or by a path object) is the
  // file system's own, decoded as os.fsdecode does, so a name that is not UTF-8 still opens.
  if (PyBytes_Check(source.ptr()) || is_instance(source, os.attr("PathLike"))) {
    source = os.attr("fsdecode")(source);
  }
  if (!PyUnicode_Check(source.ptr())) {
    pb::raise_new(PyExc_TypeError,
                  py::make_tuple("open() takes the path of an avatar; got " + type_name(source)));
  }
  if (PyUnicode_GetLength(source.ptr()) == 0) raise_avatar_error("InvalidAvatar", "open() needs an avatar to open");
  if (!truthy(os.attr("path").attr("exists")(source))) {
    if (!global("_CODE").attr("match")(source).is_none()) {
      // A code is ten ASCII letters and digits (and perhaps a newline): plain UTF-8 text.
      raise_avatar_error("NotSupported", py::str(service_code_message(py::str(source))));
    }
    raise_avatar_error("InvalidAvatar", py::str("no avatar at ") + source);
  }
  // A FIFO or a device would hang the reads below (or never end them): an avatar is a file, or
  // an unpacked directory.
  py::object os_path = os.attr("path");
  if (!truthy(os_path.attr("isfile")(source)) && !truthy(os_path.attr("isdir")(source))) {
    raise_refused("InvalidAvatar", py::str("that is not a usable avatar"),
                  py::str("neither a regular file nor a directory: ") + source);
  }
  py::object engine_id;
  py::object os_error;
  try {
    engine_id = global("_engine_of")(source);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    os_error = e.value();
  }
  if (os_error) raise_refused("InvalidAvatar", py::str("that is not a usable avatar"), os_error);
  // Decided before any engine is built.
  if (in_set("_FIXTURE", engine_id) && !truthy(global("_corvine1_runtime_present")())) raise_cannot_run();
  py::object prebuilt = py::none();
  if (in_set("_LITERT", engine_id) && truthy(global("_apple_host_bundled")())) {
    prebuilt = global("_build_engine")(source, engine_id);
  }
  return global("_open_engine")(source, engine_id, prebuilt);
}

}  // namespace

void register_open(py::module_& m) {
  m.attr("_CODE") = py::module_::import("re").attr("compile")("^[A-Z][A-Z0-9]{9}$");
  m.attr("_SESSION") = frozenset_of({"corvine2-light", "corvine2-golden"});
  m.attr("_FIXTURE") = frozenset_of({"corvine1"});
  m.attr("_LITERT") = frozenset_of({"mirrant2"});
  m.attr("_UNIFIED") = frozenset_of({"corvine2-unified"});

  m.def("open", &open_avatar, py::arg("source"),
        "Open the avatar at ``source`` (a path) on this machine; returns an :class:`Avatar`.");
  m.def("_engine_of", &engine_of, py::arg("source"));
  m.def("_open_engine", &open_engine, py::arg("source"), py::arg("engine_id"), py::arg("prebuilt") = py::none());
  m.def("_build_engine", &build_engine, py::arg("source"), py::arg("engine_id"));
  m.def("_unified_engine", &unified_engine, py::arg("source"));
  m.def("_apple_host_bundled", &apple_host_bundled);
}

}  // namespace quorvane::open::bind

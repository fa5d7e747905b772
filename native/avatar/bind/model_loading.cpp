// AsyncAvatar's model loading: `create` builds an instance and loads its model, `set_model`
// replaces the model of an instance, and `_engine_fps` is the engine's frame rate from the
// loaded fixture's tick cadence.
#include <string>

#include "avatar/bind/producer_parts.h"
#include "avatar/bind/support.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind {

namespace {

constexpr const char* kNoModelPath = "AsyncAvatar.create: model_path is required";
constexpr const char* kModelNotFound = "Corvine model not found: ";

// Path(model_path).expanduser(), refused with ModelNotFoundError when nothing is there.
py::object existing_model_path(py::handle model_path) {
  py::object path = global("Path")(model_path).attr("expanduser")();
  // Joined as Python text: a path that is not UTF-8 holds surrogate escapes, which no std::string takes.
  auto message = [&](const char* tail) {
    return py::str(kModelNotFound).attr("__add__")(py::str(path)).attr("__add__")(py::str(tail));
  };
  if (!truthy(path.attr("exists")())) pb::raise_new(global("ModelNotFoundError"), py::make_tuple(message("")));
  // A FIFO or a device holds no model, and reading its engine id would block the event loop.
  if (!truthy(path.attr("is_file")()) && !truthy(path.attr("is_dir")())) {
    pb::raise_new(global("ModelNotFoundError"), py::make_tuple(message(" (not a regular file or a directory)")));
  }
  return path;
}

// avatar._engine_id = engine_id_for_path(str(path)), the function imported now.
void note_engine_id(py::handle avatar, py::handle path_str) {
  py::object engine_id_for_path = import_from("quorvane._imx_engine", "engine_id_for_path");
  py::setattr(avatar, "_engine_id", engine_id_for_path(path_str));
}

// The model load runs on the loop's default executor: blocking work never holds the loop. A load
// whose await is cancelled stops the model host it is starting (the mixin's own future does).
py::object load_in_default_executor(py::handle loop, py::handle avatar, py::handle path_str) {
  return avatar.attr("_load_fixture_in_executor")(loop, path_str);
}

pb::Coroutine create(py::object cls, py::object model_path, py::object input_buffer_size,
                     py::object output_buffer_size, py::object num_threads, py::object /*verbose*/,
                     py::object /*batch_workers*/, py::object /*quality*/, py::object /*identity*/,
                     py::object output_size) {
  if (model_path.is_none()) pb::raise_new(PyExc_ValueError, py::make_tuple(kNoModelPath));
  py::object path = existing_model_path(model_path);
  py::dict kw;
  kw["input_buffer_size"] = input_buffer_size;
  kw["output_buffer_size"] = output_buffer_size;
  kw["output_size"] = output_size;
  kw["num_threads"] = num_threads;
  pb::Held avatar = cls(**kw);
  py::str path_str(path);
  note_engine_id(avatar, path_str);
  pb::Held loop = global("asyncio").attr("get_running_loop")();
  co_await pb::awaited([&] { return load_in_default_executor(loop, avatar, path_str); });
  co_return avatar;
}

pb::Coroutine set_model(py::object self, py::object model_path) {
  py::object path = existing_model_path(model_path);
  co_await pb::awaited([&] { return self.attr("stop")(); });
  py::object loop = global("asyncio").attr("get_running_loop")();
  py::str path_str(path);
  note_engine_id(self, path_str);
  co_await pb::awaited([&] { return load_in_default_executor(loop, self, path_str); });
  co_return py::none();
}

// max(1, sr // spt) when both are positive, else _FPS; a fixture whose attributes cannot be read
// or converted also gives _FPS.
py::object engine_fps(py::object self) {
  py::object fx = self.attr("_fixture");
  if (fx.is_none()) return global("_FPS");
  try {
    py::int_ spt(fx.attr("audio_samples_per_tick"));
    py::int_ sr(fx.attr("audio_sample_rate"));
    py::int_ zero(0);
    if (spt > zero && sr > zero) {
      py::object q = owned(PyNumber_FloorDivide(sr.ptr(), spt.ptr()));
      py::int_ one(1);
      return q < one ? py::object(one) : q;
    }
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
  }
  return global("_FPS");
}

}  // namespace

void register_model_loading(py::module_& m, py::object cls) {
  pb::def_coroutine_classmethod(m, cls, "create",
                                "cls, *, model_path=None, input_buffer_size=0, output_buffer_size=6, num_threads=0, "
                                "verbose=None, batch_workers=1, quality='medium', identity=None, "
                                "output_size=_DEFAULT_OUTPUT_SIZE",
                                &create);
  pb::def_coroutine_method(m, cls, "set_model", "self, model_path", &set_model);
  pb::def_property(cls, "_engine_fps", &engine_fps, "The engine's frame rate (frames per second, an int).");
}

}  // namespace quorvane::avatar::bind

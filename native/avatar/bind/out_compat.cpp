// Members that the host's avatar plugin reads on every runtime object it drives, and that a live
// avatar of this kind has no use for: they answer with fixed, mostly empty behaviour so that such
// callers run unchanged.
#include "avatar/bind/support.h"
#include "avatar/bind/output_parts.h"
#include "pybridge/pyclass.h"

namespace quorvane::avatar::bind::out {

namespace {

constexpr const char* kProxyDoc =
    "The settings object the host plugin reads: the frame rate of the loaded model, the input "
    "sample rate and fixed answers to the questions a live avatar has no use for.";

void proxy_init(py::object self, py::object fps) {
  self.attr("FPS") = py::module_::import("builtins").attr("int")(fps);
}

// A new settings object for each read, at the loaded model's real frame rate.
py::object settings(py::object self) {
  py::object fps = self.attr("_engine_fps");
  return self.attr("_SettingsProxy")(fps);
}

// The reference face is fixed when a model is packed: there is nothing to set.
void set_identity(py::object, py::object) {}

// The model is loaded by create() and the producer starts with run(): there is nothing to start.
pb::Coroutine start(py::object, py::kwargs) { co_return py::none(); }

py::object video_graph(py::object) { return py::none(); }

}  // namespace

void register_compat(py::module_& m, py::object cls) {
  py::object builtins = py::module_::import("builtins");
  py::object int_t = builtins.attr("int");
  py::object bool_t = builtins.attr("bool");
  py::dict annotations;
  annotations["FPS"] = int_t;
  annotations["INPUT_SAMPLE_RATE"] = int_t;
  annotations["PROCESS_IDLE_VIDEO"] = bool_t;
  annotations["ALLOW_VIDEO_SCRIPT_UPDATE"] = bool_t;
  annotations["OUTPUT_WIDTH"] = int_t;
  py::dict ns;
  ns["__doc__"] = kProxyDoc;
  ns["__annotations__"] = annotations;
  ns["FPS"] = m.attr("_FPS");
  ns["INPUT_SAMPLE_RATE"] = m.attr("_SAMPLE_RATE_HZ");
  ns["PROCESS_IDLE_VIDEO"] = false;
  ns["ALLOW_VIDEO_SCRIPT_UPDATE"] = true;
  ns["OUTPUT_WIDTH"] = 1280;
  py::object proxy = pb::make_class("quorvane._avatar", "_SettingsProxy", py::make_tuple(builtins.attr("object")), ns,
                                    "AsyncAvatar._SettingsProxy");
  // The default is the fallback rate as it stands when the class is made.
  pb::def_method(proxy, "__init__", &proxy_init, py::arg("fps") = m.attr("_FPS"));
  py::setattr(cls, "_SettingsProxy", proxy);

  pb::def_property(cls, "settings", &settings);
  pb::def_method(cls, "set_identity", &set_identity, py::arg("identity"));
  pb::def_coroutine_method(m, cls, "start", "self, **kwargs", &start);
  pb::def_property(cls, "video_graph", &video_graph);
}

}  // namespace quorvane::avatar::bind::out

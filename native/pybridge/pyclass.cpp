#include "pybridge/pyclass.h"

#include <pybind11/eval.h>

namespace quorvane::pybridge {

py::object async_def(py::handle module, const char* name, const std::string& qualname, const char* params,
                     py::object impl) {
  py::object globals = module.attr("__dict__");
  py::dict scope;
  // The parameter names and kinds as Python itself parses them, so the call forwards each one.
  py::exec(std::string("def _params(") + params + "): pass\n", globals, scope);
  py::object inspect = py::module_::import("inspect");
  py::object kinds = inspect.attr("Parameter");
  std::string call;
  for (py::handle p : inspect.attr("signature")(scope["_params"]).attr("parameters").attr("values")()) {
    const std::string pname = py::str(p.attr("name"));
    py::object kind = p.attr("kind");
    if (!call.empty()) call += ", ";
    if (kind.is(kinds.attr("VAR_POSITIONAL"))) {
      call += "*" + pname;
    } else if (kind.is(kinds.attr("VAR_KEYWORD"))) {
      call += "**" + pname;
    } else {
      call += pname;
    }
  }
  const std::string src = std::string("def _make(_impl):\n") + "    async def " + name + "(" + params + "):\n" +
                          "        return await _impl(" + call + ")\n" + "    return " + name + "\n";
  py::exec(src, globals, scope);
  py::object fn = scope["_make"](impl);
  fn.attr("__qualname__") = qualname;
  return fn;
}

}  // namespace quorvane::pybridge

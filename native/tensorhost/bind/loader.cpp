// Python names of bundle loading and shared-encoder resolution, and the adapter that lets the core
// use the dependency-store component the module looked up at load time.
#include "tensorhost/bind/common.h"
#include "tensorhost/bundle/loader.h"
#include "tensorhost/bundle/shared_enc.h"

namespace quorvane::m2::bind {

namespace {

// The component is read from the module's `_SED` at every use, so what the module holds now is
// what the core sees.
class PyDependencyStore final : public DependencyStore {
 public:
  explicit PyDependencyStore(py::object sed) : sed_(std::move(sed)) {}

  std::string shared_enc_id_repr() override {
    py::gil_scoped_acquire gil;
    return py::repr(sed_.attr("SHARED_ENC_ID")).cast<std::string>();
  }
  std::optional<std::string> base_sha256_of(const std::optional<std::string>& deps_json) override {
    py::gil_scoped_acquire gil;
    py::object deps = deps_json ? py::module_::import("json").attr("loads")(*deps_json) : py::none();
    py::object sha = sed_.attr("base_sha256_of")(deps);
    if (sha.is_none()) return std::nullopt;
    return py::str(sha).cast<std::string>();
  }
  std::vector<std::string> store_candidates(const std::string& sha) override {
    py::gil_scoped_acquire gil;
    py::object dirs = sed_.attr("dependency_store_dirs")();
    std::vector<std::string> out;
    auto fspath = py::module_::import("os").attr("fspath");
    for (auto c : sed_.attr("store_candidates")(sha, dirs)) out.push_back(fspath(c).cast<std::string>());
    return out;
  }
  bool verify_base(const std::string& path, const std::string& sha) override {
    py::gil_scoped_acquire gil;
    return py::bool_(sed_.attr("verify_base")(path, sha));
  }

 private:
  py::object sed_;
};

std::string fspath(const py::object& p) { return py::module_::import("os").attr("fspath")(p).cast<std::string>(); }

std::optional<std::string> opt_path(const py::object& p) {
  if (p.is_none()) return std::nullopt;
  return fspath(p);
}

}  // namespace

void register_loader(py::module_& m) {
  // The module object outlives every call into the core; keep a borrowed handle to it.
  py::handle mod = m;
  set_dependency_store_provider([mod]() {
    py::gil_scoped_acquire gil;
    py::object sed = mod.attr("_SED");
    std::string why = py::str(mod.attr("_SED_WHY")).cast<std::string>();
    if (sed.is_none()) return DependencyStoreState{nullptr, why};
    return DependencyStoreState{std::make_shared<PyDependencyStore>(sed), why};
  });

  m.def("load_bundle", [](const py::object& bundle, const py::object& engine) {
    auto b = fspath(bundle);
    auto e = opt_path(engine);
    LoadedBundle lb;
    {
      py::gil_scoped_release nogil;
      lb = load_bundle(b, e);
    }
    return py::make_tuple(lb.tflite_paths, lb.model_name, to_numpy(lb.canon, false));
  }, py::arg("bundle"), py::arg("engine") = py::none(),
     "(model paths, model name, canonical latent) of a bundle; a contract breach exits with status 3.");
  m.def("_declared_base_sha", [](const py::object& bundle) {
    auto b = fspath(bundle);
    py::gil_scoped_release nogil;
    return declared_base_sha(b);
  }, py::arg("bundle"));
  m.def("_resolve_shared_enc", [](const py::object& bundle, const py::object& engine, std::optional<std::string> want) {
    auto b = fspath(bundle);
    auto e = opt_path(engine);
    py::gil_scoped_release nogil;
    return resolve_shared_enc(b, e, want);
  }, py::arg("bundle"), py::arg("engine"), py::arg("want_sha") = py::none());
}

}  // namespace quorvane::m2::bind

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
    // Whatever came back is checked as a digest by the caller: a text that cannot be one (lone
    // surrogates included) must reach that check, not fail here and count as no base at all.
    return py::str(sha).attr("encode")("utf-8", "surrogatepass").cast<std::string>();
  }
  std::vector<std::string> store_candidates(const std::string& sha) override {
    py::gil_scoped_acquire gil;
    py::object dirs = sed_.attr("dependency_store_dirs")();
    std::vector<std::string> out;
    for (auto c : sed_.attr("store_candidates")(fs_str(sha), dirs)) out.push_back(fs_bytes(c));
    return out;
  }
  bool verify_base(const std::string& path, const std::string& sha) override {
    py::gil_scoped_acquire gil;
    return py::bool_(sed_.attr("verify_base")(fs_str(path), fs_str(sha)));
  }

 private:
  py::object sed_;
};

std::optional<std::string> opt_path(const py::object& p) {
  if (p.is_none()) return std::nullopt;
  return fs_bytes(p);
}

py::object opt_path_out(const std::optional<std::string>& p) { return p ? py::object(fs_str(*p)) : py::none(); }

}  // namespace

void register_loader(py::module_& m) {
  // The module object outlives every call into the core; keep a borrowed handle to it.
  py::handle mod = m;
  set_dependency_store_provider([mod]() {
    py::gil_scoped_acquire gil;
    py::object sed = mod.attr("_SED");
    std::string why = fs_bytes(py::str(mod.attr("_SED_WHY")));
    if (sed.is_none()) return DependencyStoreState{nullptr, why};
    return DependencyStoreState{std::make_shared<PyDependencyStore>(sed), why};
  });

  m.def("load_bundle", [](const py::object& bundle, const py::object& engine) {
    auto b = fs_bytes(bundle);
    auto e = opt_path(engine);
    LoadedBundle lb;
    {
      py::gil_scoped_release nogil;
      lb = load_bundle(b, e);
    }
    py::list paths;
    for (const auto& p : lb.tflite_paths) paths.append(fs_str(p));
    return py::make_tuple(paths, fs_str(lb.model_name), to_numpy(lb.canon, false));
  }, py::arg("bundle"), py::arg("engine") = py::none(),
     "(model paths, model name, canonical latent) of a bundle; a contract breach exits with status 3.");
  m.def("_declared_base_sha", [](const py::object& bundle) {
    auto b = fs_bytes(bundle);
    std::optional<std::string> want;
    {
      py::gil_scoped_release nogil;
      want = declared_base_sha(b);
    }
    return opt_path_out(want);
  }, py::arg("bundle"));
  m.def("_resolve_shared_enc", [](const py::object& bundle, const py::object& engine, const py::object& want_sha) {
    auto b = fs_bytes(bundle);
    auto e = opt_path(engine);
    auto want = opt_path(want_sha);
    std::pair<std::optional<std::string>, std::string> found;
    {
      py::gil_scoped_release nogil;
      found = resolve_shared_enc(b, e, want);
    }
    return py::make_tuple(opt_path_out(found.first), fs_str(found.second));
  }, py::arg("bundle"), py::arg("engine"), py::arg("want_sha") = py::none());
}

}  // namespace quorvane::m2::bind

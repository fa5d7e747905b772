#include "tensorhost/chain/model_runner.h"

#include <utility>

#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

namespace {

RunnerFactory& factory_slot() {
  // Leaked on purpose: the installed factory may hold objects that must not be torn down after
  // the Python interpreter has finalised.
  static auto* slot = new RunnerFactory();
  return *slot;
}

}  // namespace

void set_runner_factory(RunnerFactory factory) { factory_slot() = std::move(factory); }

std::unique_ptr<ModelRunner> load_model(const std::string& path, int64_t threads) {
  auto& factory = factory_slot();
  if (!factory) throw RuntimeError("no model runtime installed: cannot load " + path);
  return factory(path, threads);
}

}  // namespace quorvane::m2

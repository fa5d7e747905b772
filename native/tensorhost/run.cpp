#include "tensorhost/cli.h"
#include "tensorhost/errors.h"
#include "tensorhost/loader.h"
#include "tensorhost/log.h"

namespace quorvane::m2 {

int host_run(const std::string& bundle, const std::optional<std::string>& engine, int64_t threads) {
  elog("warming up identity=" + bundle + " threads=" + std::to_string(threads) + " ...");
  LoadedBundle lb = load_bundle(bundle, engine);
  throw RuntimeError("this build cannot render yet");
}

}  // namespace quorvane::m2

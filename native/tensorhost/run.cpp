#include "tensorhost/cli.h"
#include "tensorhost/errors.h"
#include "tensorhost/log.h"

namespace quorvane::m2 {

int host_run(const std::string& bundle, const std::optional<std::string>& engine, int64_t threads) {
  (void)engine;
  elog("warming up identity=" + bundle + " threads=" + std::to_string(threads) + " ...");
  throw RuntimeError("this build cannot load avatar bundles yet");
}

}  // namespace quorvane::m2

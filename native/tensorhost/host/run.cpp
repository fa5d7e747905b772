#include <memory>

#include "tensorhost/bundle/colour_load.h"
#include "tensorhost/bundle/loader.h"
#include "tensorhost/chain/chain.h"
#include "tensorhost/chain/renderer.h"
#include "tensorhost/constants.h"
#include "tensorhost/host/log.h"
#include "tensorhost/host/run.h"
#include "tensorhost/host/section_timers.h"
#include "tensorhost/host/serve.h"
#include "tensorhost/host/streams.h"
#include "tensorhost/host/threads.h"
#include "tensorhost/kernels/colour.h"

namespace quorvane::m2 {

int host_run(const std::string& bundle, const std::optional<std::string>& engine, int64_t threads) {
  elog("warming up identity=" + bundle + " threads=" + std::to_string(threads) + " ...");
  LoadedBundle lb = load_bundle(bundle, engine);
  auto [cc, color_report] = [&] {
    try {
      return load_color_correct(bundle);
    } catch (...) {
      refuse_read_error(bundle, std::string(COLOR_MEMBER));
    }
  }();
  elog(color_report);
  if (lb.tflite_paths.size() >= 2) {
    // One interpreter per file, running one after the other's threads: keep both inside the cores.
    const int64_t capped = default_threads(static_cast<int64_t>(lb.tflite_paths.size()), threads);
    if (capped != threads) {
      elog("2-interpreter split: threads " + std::to_string(threads) + " -> " + std::to_string(capped) +
           " (<= cores/2)");
      threads = capped;
    }
  }
  std::shared_ptr<LitertChain> chain;
  try {
    chain = std::make_shared<LitertChain>(lb.tflite_paths, lb.canon, threads);
  } catch (const ModelRefused& e) {
    refuse_model(bundle, lb, e.path, e.kind + ": " + e.what());
  } catch (const MissingSignatures& e) {
    refuse_signatures(bundle, lb, e.missing, e.have);
  }
  Renderer renderer(chain, cc);
  const int status = serve(renderer, lb.model_name, std_in(), std_out());
#if defined(QUORVANE_TIMERS) && QUORVANE_TIMERS
  elog("timers " + timers_json());
#endif
  return status;
}

}  // namespace quorvane::m2

#include "tensorhost/host/cli.h"
#include "tensorhost/host/run.h"

#include "tensorhost/bundle/staging.h"
#include "tensorhost/fsops.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/host/log.h"
#include "tensorhost/host/process_setup.h"
#include "tensorhost/host/streams.h"
#include "tensorhost/host/threads.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

HostArgs parse_args(const std::vector<std::string>& argv) {
  HostArgs a;
  const size_t n = argv.size();
  size_t i = 1;
  while (i < n) {
    const std::string& tok = argv[i];
    if (tok == "render-stream") {
      i += 1;
    } else if (tok == "--engine" && i + 1 < n) {
      a.engine = argv[i + 1];
      i += 2;
    } else if (tok == "--threads" && i + 1 < n) {
      auto v = parse_int(argv[i + 1]);
      if (!v) throw ValueError("--threads takes an integer, not " + repr_str(argv[i + 1]));
      a.threads = *v;
      i += 2;
    } else {
      if (!tok.empty() && tok[0] != '-') {
        if (a.bundle.empty()) a.bundle = tok;
        else a.extra.push_back(tok);
      }
      i += 1;
    }
  }
  return a;
}

namespace {

// `host render <bundle>`: a word where the sub-command goes, with the bundle after it. A first
// token that names something, or holds a "/", is the bundle itself (and what follows is ignored).
bool is_unknown_command(const HostArgs& a) {
  return !a.extra.empty() && a.bundle.find('/') == std::string::npos && !path_exists(a.bundle);
}

}  // namespace

int host_main(const std::vector<std::string>& argv) {
  claim_standard_descriptors();
  own_stage_dir_if_told();
  end_by_signals_after_clean_up();
  HostArgs a;
  int64_t threads = 0;
  try {
    a = parse_args(argv);
    if (a.bundle.empty() || is_unknown_command(a)) {
      if (!a.bundle.empty()) elog("unknown sub-command " + repr_str(a.bundle));
      elog(USAGE);
      return 2;
    }
    threads = default_threads(1, a.threads);
  } catch (const ValueError& e) {
    elog(std::string("ValueError: ") + e.what());
    return 1;
  }
  keep_large_blocks_in_heap();
  widen_output_pipe(std_out().fd());
  return host_run(a.bundle, a.engine, threads);
}

}  // namespace quorvane::m2

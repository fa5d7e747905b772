#include "tensorhost/host/cli.h"
#include "tensorhost/host/run.h"

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
      if (!v) throw ValueError("invalid literal for int() with base 10: " + repr_str(argv[i + 1]));
      a.threads = *v;
      i += 2;
    } else {
      if (!tok.empty() && tok[0] != '-' && a.bundle.empty()) a.bundle = tok;
      i += 1;
    }
  }
  return a;
}

int host_main(const std::vector<std::string>& argv) {
  end_by_signals_after_clean_up();
  HostArgs a = parse_args(argv);
  if (a.bundle.empty()) {
    elog(USAGE);
    return 2;
  }
  const int64_t threads = default_threads(1, a.threads);
  keep_large_blocks_in_heap();
  widen_output_pipe(std_out().fd());
  return host_run(a.bundle, a.engine, threads);
}

}  // namespace quorvane::m2

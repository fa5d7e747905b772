// libFuzzer target over bundle member access: each input is written to a file that is then read
// as a bundle (.imx table of contents, member lookup, listing), so the .imx reader, the zip test
// and libzip's handling of whatever passes it all see hostile bytes.
//
// Build (from the repository root, clang from Debian):
//   cmake -S . -B build/fuzz -G Ninja -DQUORVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
//         -DCMAKE_CXX_COMPILER=clang++ -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)"
//   cmake --build build/fuzz --target imx_fuzz -j2
// Run (a scratch copy of the seed corpus collects what the fuzzer finds):
//   mkdir -p build/fuzz/corpus && cp fuzz/corpus/* build/fuzz/corpus/
//   build/fuzz/fuzz/imx_fuzz -max_total_time=180 build/fuzz/corpus
//
// The only exceptions the reader may throw are the core's OSError, RuntimeError and ValueError
// (a damaged archive, an unreadable file); anything else escapes and counts as a crash.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tensorhost/bundle/bundle.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/fsops.h"

namespace {

using namespace quorvane::m2;

// One scratch file per fuzzing process, removed when it exits.
const std::string& scratch_path() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/imx_fuzz_XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) std::abort();
    ::close(fd);
    static std::string keep;
    keep = tmpl;
    std::atexit([] { ::unlink(keep.c_str()); });
    return tmpl;
  }();
  return path;
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) std::abort();
  while (size > 0) {
    ssize_t w = ::write(fd, data, size);
    if (w <= 0) std::abort();
    data += w;
    size -= static_cast<size_t>(w);
  }
  ::close(fd);
}

template <class F>
void tolerate_core_errors(F&& f) {
  try {
    f();
  } catch (const OSError&) {
  } catch (const RuntimeError&) {
  } catch (const ValueError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratch_path();
  write_file(path, data, size);

  std::vector<std::string> wanted = {"canon.bin", "color.json", "manifest.json"};
  if (auto toc = imx_toc(path)) {
    // Every stored base name is then looked up, so each entry's range gets read.
    for (const auto& e : *toc) wanted.push_back(base_name(e.name));
  }
  tolerate_core_errors([&] {
    for (const auto& name : listing(path)) wanted.push_back(name);
  });
  tolerate_core_errors([&] {
    for (size_t i = 0; i < wanted.size(); ++i) {
      std::vector<std::string> from_i(wanted.begin() + static_cast<std::ptrdiff_t>(i), wanted.end());
      if (!member_bytes(path, from_i)) break;
    }
  });
  return 0;
}

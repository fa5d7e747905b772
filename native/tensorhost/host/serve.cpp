#include "tensorhost/host/serve.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>

#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/host/log.h"
#include "tensorhost/host/section_timers.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

static_assert(std::endian::native == std::endian::little,
              "the frame pipe is little-endian; samples are read in place");

double monotonic_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string ready_line(const std::string& color_json) {
  return "READY {\"fps\":" + std::to_string(FPS) + ",\"width\":" + std::to_string(FW) +
         ",\"height\":" + std::to_string(FH) + ",\"sample_rate\":" + std::to_string(SR) +
         ",\"color\":" + color_json + "}\n";
}

void write_frame(OutStream& out, int64_t idx, const void* rgb, size_t n_bytes) {
  if (idx < std::numeric_limits<int32_t>::min() || idx > std::numeric_limits<int32_t>::max())
    throw ValueError("frame index " + std::to_string(idx) + " does not fit a signed 32-bit record");
  auto i32 = static_cast<int32_t>(idx);
  char hdr[4];
  std::memcpy(hdr, &i32, 4);
  out.write(hdr, 4);
  out.write(rgb, n_bytes);
}

void emit(OutStream& out, const std::vector<FramePair>& frames) {
  for (const auto& f : frames) write_frame(out, f.index, f.rgb, f.n_bytes);
  if (!frames.empty()) out.flush();
}

namespace {

// One batch written as emit() writes it, but piece by piece as the renderer hands the pieces over:
// a long sample step then holds one chunk's frames at a time, not every chunk's at once.
template <class Produce>
void emit_streamed(OutStream& out, Produce&& produce) {
  bool any = false;
  produce([&](std::vector<FramePair>&& piece) {
    [[maybe_unused]] SectionTimer pipe(Section::pipe, static_cast<int64_t>(piece.size()));
    for (const auto& f : piece) write_frame(out, f.index, f.rgb, f.n_bytes);
    any = any || !piece.empty();
  });
  if (any) out.flush();
}

}  // namespace

int serve(ServedRenderer& renderer, const std::string& model_name, InStream& in, OutStream& out) {
  const std::string hello = ready_line(renderer.color_json());
  out.write(hello.data(), hello.size());
  out.flush();
  elog("ready " + std::to_string(FW) + "x" + std::to_string(FH) + " @" + std::to_string(FPS) +
       "fps  model=" + model_name);
  double last_rtf_log = monotonic_s();

  for (;;) {
    // Covers the request from its word to the release of its frames at the end of the body.
    [[maybe_unused]] SectionTimer request(Section::request);
    unsigned char hdr[4];
    if (in.read_full(hdr, 4) < 4) break;
    uint32_t word;
    std::memcpy(&word, hdr, 4);

    if (word == FLUSH_WORD) {
      emit_streamed(out, [&](const ServedRenderer::FrameSink& sink) { renderer.flush_chunks_into(sink); });
      const int32_t end = END_MARKER;
      out.write(&end, 4);
      out.flush();
      continue;
    }
    if (word == RESET_WORD) {
      renderer.reset();
      continue;
    }
    if (word > MAX_STEP_SAMPLES) {
      elog("bad step size " + std::to_string(word) + " \u2014 protocol desync");
      return 1;
    }
    {
      [[maybe_unused]] SectionTimer input(Section::input);
      FloatTensor pcm = FloatTensor::empty({static_cast<int64_t>(word)});
      if (word > 0) {
        const size_t n_bytes = size_t{4} * word;
        if (in.read_full(pcm.data, n_bytes) < n_bytes) break;
      }
      renderer.feed(pcm);
    }
    emit_streamed(out, [&](const ServedRenderer::FrameSink& sink) { renderer.ready_chunks_into(sink); });

    const double now = monotonic_s();
    if (now - last_rtf_log > RTF_LOG_INTERVAL_S) {
      if (auto rtf = renderer.rtf()) {
        const int64_t n = renderer.c_n();
        const double wall = renderer.c_wall();
        // A renderer that reports chunks in no time at all gets "inf" rather than a crash.
        const double fps = static_cast<double>(STEADY_PX) / (wall / static_cast<double>(std::max<int64_t>(n, 1)));
        elog("rtf=" + fixed(*rtf, 3) + " chunks=" + std::to_string(n) + " fps=" + fixed(fps, 1));
        last_rtf_log = now;
      }
    }
  }
  elog("stdin closed \u2014 exiting");
  return 0;
}

}  // namespace quorvane::m2

// The renderer: a stream of 16 kHz float32 speech in, numbered 720 x 416 RGB888 frames out, 20 per
// second of audio, cut into chunks on a fixed schedule.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tensorhost/chain/chain.h"
#include "tensorhost/chain/tensor.h"
#include "tensorhost/host/serve.h"
#include "tensorhost/kernels/colour.h"
#include "tensorhost/kernels/pcm_buffer.h"

namespace quorvane::m2 {

/// Chunk schedule, model calls and frame numbering of one stream. Single-threaded: one caller
/// makes every call (the RGB conversion may fan out to the pool inside a call and returns only
/// when it is done). Errors of the chain, the tempo change, the decoder rows or the conversion
/// propagate unchanged; nothing is rolled back.
class Renderer : public ServedRenderer {
 public:
  /// `chain` is shared, not owned exclusively; `cc` may be null (no colour correction). Reads the
  /// RGB worker count once, then resets.
  Renderer(std::shared_ptr<Chain> chain, std::shared_ptr<const ColorCorrect> cc);

  // What the serve loop drives.
  std::string color_json() override;
  void feed(const FloatTensor& pcm) override;
  std::vector<FramePair> ready_chunks() override;
  std::vector<FramePair> flush_chunks() override;
  void ready_chunks_into(const FrameSink& sink) override;
  void flush_chunks_into(const FrameSink& sink) override;
  void reset() override;
  std::optional<double> rtf() override;
  int64_t c_n() override { return c_n_; }
  double c_wall() override { return c_wall_; }

  /// Appends `n` samples (no-op for n = 0), then refreshes the buffer mirror.
  void feed(const float* pcm, int64_t n);

  /// Fed samples that chunk `ci` waits for.
  static int64_t need(int64_t ci);
  /// First absolute sample of chunk `ci`'s window.
  static int64_t window_start(int64_t ci);
  /// The WIN_SAMPLES window of chunk `ci`, zero past the fed audio. Throws RuntimeError
  /// "consumed audio context requested" when it would need discarded audio.
  FloatTensor window(int64_t ci) const;
  /// Renders chunk `ci`; returns its frame pairs (read-only views into one RGB block).
  std::vector<FramePair> process_chunk(int64_t ci);
  /// Discards audio that no later chunk needs.
  void trim_audio();
  /// Refreshes buf, buf_base, fed_samples and audio_compaction_samples from the buffer.
  void sync_audio();

  const std::shared_ptr<Chain>& chain() const { return chain_; }
  const std::shared_ptr<const ColorCorrect>& cc() const { return cc_; }

  int64_t rgb_threads = 1;
  std::shared_ptr<SlidingPCM> pcm;
  FloatTensor buf;
  int64_t buf_base = 0;
  int64_t fed_samples = 0;
  int64_t audio_compaction_samples = 0;
  int64_t ci = 0;
  FloatTensor hist;
  std::optional<FloatTensor> prev_lat;
  int64_t px_frame = 3;

 private:
  std::shared_ptr<Chain> chain_;
  std::shared_ptr<const ColorCorrect> cc_;
  double c_wall_ = 0.0;
  int64_t c_n_ = 0;

  friend struct RendererAccess;
};

/// Test and binding access to the timing counters.
struct RendererAccess {
  static double& c_wall(Renderer& r) { return r.c_wall_; }
  static int64_t& c_n(Renderer& r) { return r.c_n_; }
};

}  // namespace quorvane::m2

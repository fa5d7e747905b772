// The frame pipe: request words and samples in on standard input, one start-up line and frame
// records out on standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tensorhost/chain/tensor.h"
#include "tensorhost/host/streams.h"

namespace quorvane::m2 {

inline constexpr uint32_t FLUSH_WORD = 0xFFFFFFFFu;
inline constexpr uint32_t RESET_WORD = 0xFFFFFFFEu;
inline constexpr uint32_t MAX_STEP_SAMPLES = 16777216u;
inline constexpr int32_t END_MARKER = -1;
inline constexpr double RTF_LOG_INTERVAL_S = 5.0;

/// What the serve loop needs of a renderer. The native renderer implements it directly; the
/// binding adapts any Python object with the same operations.
class ServedRenderer {
 public:
  virtual ~ServedRenderer() = default;
  /// The colour descriptor as compact JSON ("null" when the renderer has no correction).
  virtual std::string color_json() = 0;
  virtual void feed(const FloatTensor& pcm) = 0;
  virtual std::vector<FramePair> ready_chunks() = 0;
  virtual std::vector<FramePair> flush_chunks() = 0;
  /// What ready_chunks and flush_chunks return, handed to `sink` piece by piece in the same order,
  /// so that a caller writing them out holds one piece at a time rather than the whole batch. A
  /// renderer that renders chunk by chunk gives one chunk per piece; by default the whole batch
  /// is one piece.
  using FrameSink = std::function<void(std::vector<FramePair>&&)>;
  virtual void ready_chunks_into(const FrameSink& sink) { sink(ready_chunks()); }
  virtual void flush_chunks_into(const FrameSink& sink) { sink(flush_chunks()); }
  virtual void reset() = 0;
  virtual std::optional<double> rtf() = 0;
  virtual int64_t c_n() = 0;
  virtual double c_wall() = 0;
};

/// The READY line for a colour descriptor given as compact JSON: "READY {...}\n".
std::string ready_line(const std::string& color_json);

/// Seconds on the steady clock: the chunk timings and the serve loop's performance log line.
double monotonic_s();

/// Writes one frame record (int32 little-endian index, then the bytes) without flushing.
/// Throws ValueError for an index outside the int32 range.
void write_frame(OutStream& out, int64_t idx, const void* rgb, size_t n_bytes);

/// Writes every record of `frames` in order, then flushes once when there was any.
void emit(OutStream& out, const std::vector<FramePair>& frames);

/// The request loop, from the start-up line to the end of input. Returns the exit status: 0 when
/// input ended, 1 on a protocol desync. Errors of the renderer or of the streams propagate.
int serve(ServedRenderer& renderer, const std::string& model_name, InStream& in, OutStream& out);

}  // namespace quorvane::m2

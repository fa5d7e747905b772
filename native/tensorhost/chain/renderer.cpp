#include "tensorhost/chain/renderer.h"

#include <algorithm>
#include <cstring>

#include "tensorhost/chain/decoder_rows.h"
#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/host/section_timers.h"
#include "tensorhost/kernels/rgb888.h"
#include "tensorhost/kernels/wsola.h"

namespace quorvane::m2 {

namespace {

constexpr int64_t kFirstIndex = 3;
constexpr int64_t kTokenRowOffset = 6;
constexpr float kEncoderGain = 3.0f;
// A flush renders until the last chunk's model frames reach 12 frames past the last fed frame.
constexpr int64_t kFlushAllowance = 12;

}  // namespace

Renderer::Renderer(std::shared_ptr<Chain> chain, std::shared_ptr<const ColorCorrect> cc)
    : chain_(std::move(chain)), cc_(std::move(cc)) {
  rgb_threads = quorvane::m2::rgb_threads();
  reset();
}

std::string Renderer::color_json() { return color_descriptor_json(cc_.get()); }

void Renderer::reset() {
  pcm = std::make_shared<SlidingPCM>();
  sync_audio();
  ci = 0;
  hist = chain_->new_hist();
  prev_lat.reset();
  px_frame = kFirstIndex;
  c_wall_ = 0.0;
  c_n_ = 0;
}

void Renderer::sync_audio() {
  buf = pcm->live();
  buf_base = pcm->base();
  fed_samples = pcm->fed();
  audio_compaction_samples = pcm->moved_samples();
}

void Renderer::feed(const float* data, int64_t n) {
  pcm->append(data, n);
  sync_audio();
}

void Renderer::feed(const FloatTensor& t) { feed(t.data, t.size()); }

int64_t Renderer::window_start(int64_t c) { return (c <= 1 ? 0 : (c - 1) * STEADY_PX) * SPF; }

int64_t Renderer::need(int64_t c) { return std::min((c + 1) * SPC, window_start(c) + WIN_SAMPLES); }

FloatTensor Renderer::window(int64_t c) const {
  const int64_t s0 = window_start(c);
  const int64_t hi = std::min({(c + 1) * SPC, s0 + WIN_SAMPLES, fed_samples});
  FloatTensor w = FloatTensor::zeros({WIN_SAMPLES});
  if (hi > s0) {
    if (s0 < buf_base) throw RuntimeError("consumed audio context requested");
    std::memcpy(w.data, buf.data + (s0 - buf_base), static_cast<size_t>(hi - s0) * sizeof(float));
  }
  return w;
}

std::vector<FramePair> Renderer::process_chunk(int64_t c) {
  [[maybe_unused]] TimerScopeGuard scope(c == 0 ? TimerScope::first_chunk : TimerScope::steady_chunk);
  [[maybe_unused]] SectionTimer whole(Section::chunk);
  const double t0 = monotonic_s();
  const int64_t blk = c == 0 ? CHUNK0_LAT : STEADY_LAT;
  const int64_t row_base = c == 0 ? 0 : kTokenRowOffset;

  FloatTensor w = timed(Section::window, [&] { return window(c); });
  FloatTensor tempo = timed(Section::tempo, [&] {
    FloatTensor t = tempo_wsola(w.data, w.size());
    for (int64_t i = 0, n = t.size(); i < n; ++i) t.data[i] *= kEncoderGain;
    return t;
  });

  FloatTensor feats = chain_->run_enc(tempo);
  FloatTensor tok = chain_->run_tok(feats);

  // A chain given from outside may return fewer token rows than the chunk reads: the row that
  // is missing is refused when its step comes, instead of being read from past the array.
  const int64_t n_tok_rows = tok.shape.empty() ? 0 : tok.shape[0];

  std::vector<FloatTensor> lats;
  lats.reserve(static_cast<size_t>(blk));
  for (int64_t j = 0; j < blk; ++j) {
    if (row_base + j >= n_tok_rows) {
      throw IndexError("index " + std::to_string(row_base + j) +
                       " is out of bounds for axis 0 with size " + std::to_string(n_tok_rows));
    }
    FloatTensor atok = tok.row(row_base + j);
    FloatTensor lat = chain_->run_step(hist, atok);
    timed(Section::history, [&] { chain_->shift_hist(hist, lat); });
    lats.push_back(std::move(lat));
  }

  auto rows = timed(Section::dec_rows,
                    [&] { return build_dec_inputs(lats, blk, prev_lat ? &*prev_lat : nullptr); });
  const FloatTensor& xs = rows.first;
  const int64_t n = rows.second;
  std::vector<FloatTensor> px = chain_->run_dec_frames(xs, n);
  prev_lat = lats[static_cast<size_t>(blk - 1)];

  ByteTensor u8 = timed(Section::rgb, [&] { return px_to_rgb888_chunk(px, cc_.get(), rgb_threads); });
  u8.writable = false;
  // The chunk's buffer is cut into exactly n frames; a decoder that returned another count
  // (a chain given from outside) would otherwise have frames read past the buffer.
  if (static_cast<int64_t>(px.size()) != n) {
    throw ValueError("the decoder returned " + std::to_string(px.size()) + " frames for " +
                     std::to_string(n) + " decoder rows");
  }

  std::vector<FramePair> frames = timed(Section::frames, [&] {
    std::vector<FramePair> out;
    out.reserve(static_cast<size_t>(n + PRESENT_DELAY_FRAMES));
    for (int64_t k = 0; k < n; ++k) {
      // The first frame after a reset is presented twice: it also fills the presentation delay.
      const int64_t times = (c == 0 && k == 0) ? 1 + PRESENT_DELAY_FRAMES : 1;
      for (int64_t t = 0; t < times; ++t) {
        FramePair f;
        f.index = px_frame++;
        f.owner = u8.owner;
        f.rgb = u8.data + k * FRAME_BYTES;
        f.n_bytes = static_cast<size_t>(FRAME_BYTES);
        out.push_back(std::move(f));
      }
    }
    return out;
  });
  // Dropped here rather than at the closing brace, so that their release is timed on its own.
  timed(Section::release, [&] {
    px = {};
    rows.first = FloatTensor{};
    lats = {};
    tok = FloatTensor{};
    feats = FloatTensor{};
    tempo = FloatTensor{};
    w = FloatTensor{};
  });
  c_wall_ += monotonic_s() - t0;
  c_n_ += 1;
  return frames;
}

void Renderer::trim_audio() {
  pcm->discard_before(window_start(ci));
  sync_audio();
}

void Renderer::ready_chunks_into(const FrameSink& sink) {
  while (fed_samples >= need(ci)) {
    sink(process_chunk(ci));
    ci += 1;
    trim_audio();
  }
}

void Renderer::flush_chunks_into(const FrameSink& sink) {
  const int64_t fed = fed_samples;
  const int64_t end_fi = (fed + SPF - 1) / SPF - 1;  // fed >= 0: C++ division is floor here
  const int64_t n_chunks = std::max<int64_t>(1, (end_fi + kFlushAllowance + 31) / 32);
  while (ci < n_chunks) {
    sink(process_chunk(ci));
    ci += 1;
    trim_audio();
  }
}

namespace {

std::vector<FramePair> gathered(const std::function<void(const Renderer::FrameSink&)>& produce) {
  std::vector<FramePair> out;
  produce([&](std::vector<FramePair>&& part) {
    out.insert(out.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
  });
  return out;
}

}  // namespace

std::vector<FramePair> Renderer::ready_chunks() {
  return gathered([this](const FrameSink& sink) { ready_chunks_into(sink); });
}

std::vector<FramePair> Renderer::flush_chunks() {
  return gathered([this](const FrameSink& sink) { flush_chunks_into(sink); });
}

std::optional<double> Renderer::rtf() {
  if (c_n_ == 0) return std::nullopt;
  return (c_wall_ / static_cast<double>(c_n_)) / (static_cast<double>(STEADY_PX) / static_cast<double>(FPS));
}

}  // namespace quorvane::m2

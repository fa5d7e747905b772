#include "tensorhost/chain/chain.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "tensorhost/bundle/staging.h"
#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/host/section_timers.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

constexpr int64_t HIST_FLOATS = LC * CTX * PLANE;  // 1198080
constexpr int64_t TOK_FLOATS = 14 * NA * CA;       // 86016
constexpr int64_t DEC_ROW_FLOATS = DEC_CH * PLANE;

/// The same storage under another shape of the same element count.
FloatTensor reshaped(const FloatTensor& t, std::vector<int64_t> shape) {
  FloatTensor v = t;
  v.shape = std::move(shape);
  return v;
}

size_t bytes_of(int64_t n_floats) { return static_cast<size_t>(n_floats) * sizeof(float); }

}  // namespace

void shift_history(FloatTensor& h, const FloatTensor& lat) {
  if (h.size() != HIST_FLOATS) {
    throw ValueError("shift_hist: the history must hold " + std::to_string(HIST_FLOATS) +
                     " values (1, 16, 16, 90, 52), got " + std::to_string(h.size()));
  }
  if (!h.writable) throw ValueError("shift_hist: the history is read-only");
  if (lat.size() != LATENT_FLOATS) {
    throw ValueError("shift_hist: the latent must hold " + std::to_string(LATENT_FLOATS) +
                     " values, got " + std::to_string(lat.size()));
  }
  for (int64_t c = 0; c < LC; ++c) {
    float* ch = h.data + c * CTX * PLANE;
    // memmove for both: the slots overlap, and a latent that is itself a view into `h` must not
    // make the copy undefined.
    std::memmove(ch, ch + PLANE, bytes_of((CTX - 1) * PLANE));
    std::memmove(ch + (CTX - 1) * PLANE, lat.data + c * PLANE, bytes_of(PLANE));
  }
}

LitertChain::LitertChain(std::vector<std::string> tflite_paths, const FloatTensor& canon,
                         int64_t threads)
    : LitertChain(std::move(tflite_paths), CanonSource([&canon] { return canon; }), threads) {}

LitertChain::LitertChain(std::vector<std::string> tflite_paths, const CanonSource& canon_source,
                         int64_t threads) {
  std::map<std::string, std::shared_ptr<SignatureRunner>> found;
  for (const auto& path : tflite_paths) {
    its_.push_back(load_model(path, threads));
    for (const auto& name : its_.back()->signatures()) {
      // Taken even when an earlier file already offers the name: the first file wins, the
      // later runner is dropped.
      auto r = its_.back()->signature_runner(name);
      found.emplace(name, std::move(r));
    }
  }
  release_staged(tflite_paths);

  std::vector<std::string> missing;
  for (auto s : SIGS) {
    if (!found.count(std::string(s))) missing.emplace_back(s);
  }
  if (!missing.empty()) {
    std::vector<std::string> have;
    for (const auto& [name, r] : found) have.push_back(name);  // std::map: sorted by code unit
    throw MissingSignatures("LiteRT chain missing signature(s) " + repr_list(missing) + " across " +
                                repr_list(tflite_paths) + " (have " + repr_list(have) +
                                "); need combined_litert.tflite OR shared-enc.tflite + identity.tflite",
                            missing, have);
  }
  for (size_t i = 0; i < SIGS.size(); ++i) runners_[i] = found.at(std::string(SIGS[i]));

  hist_key_ = "args_0";
  for (const auto& d : runners_[STEP]->input_details()) {
    if (d.shape.size() == 5) {
      hist_key_ = d.name;
      break;
    }
  }
  atok_key_ = hist_key_ == "args_0" ? "args_1" : "args_0";

  FloatTensor given = canon_source();
  if (given.size() != LATENT_FLOATS) {
    throw ValueError("canon must hold " + std::to_string(LATENT_FLOATS) +
                     " values (16 x 4680), got " + std::to_string(given.size()) + " of shape " +
                     shape_text(given.shape));
  }
  canon_ = FloatTensor::empty({LC, PLANE});
  std::memcpy(canon_.data, given.data, bytes_of(LATENT_FLOATS));
}

FloatTensor LitertChain::new_hist() {
  auto h = FloatTensor::empty({1, LC, CTX, LH, LW});
  for (int64_t c = 0; c < LC; ++c) {
    const float* row = canon_.data + c * PLANE;
    float* ch = h.data + c * CTX * PLANE;
    for (int64_t t = 0; t < CTX; ++t) std::memcpy(ch + t * PLANE, row, bytes_of(PLANE));
  }
  return h;
}

void LitertChain::shift_hist(FloatTensor& h, const FloatTensor& lat) { shift_history(h, lat); }

FloatTensor LitertChain::output0(Sig s, const std::vector<NamedTensor>& inputs) {
  ++invocations_[s];
  static constexpr Section kSection[] = {Section::enc, Section::tok, Section::step, Section::dec16,
                                         Section::dec8};
  auto outs = timed(kSection[s], [&] { return runners_[s]->invoke(inputs); });
  for (auto& o : outs) {
    if (o.name == "output_0") return std::move(o.tensor);
  }
  std::vector<std::string> names;
  for (const auto& o : outs) names.push_back(o.name);
  throw RuntimeError("LiteRT signature " + repr_str(SIGS[s]) + " returned no 'output_0' (outputs " +
                     repr_list(names) + ")");
}

FloatTensor LitertChain::run_enc(const FloatTensor& tempo) {
  if (tempo.size() != TEMPO_SAMPLES) {
    throw ValueError("run_enc: tempo must hold " + std::to_string(TEMPO_SAMPLES) +
                     " samples, got " + std::to_string(tempo.size()));
  }
  return output0(ENC, {{"args_0", reshaped(tempo, {1, TEMPO_SAMPLES})}});
}

FloatTensor LitertChain::run_tok(const FloatTensor& feats) {
  auto out = output0(TOK, {{"args_0", feats}});
  if (out.size() != TOK_FLOATS) {
    throw RuntimeError("LiteRT signature 'tok14' returned " + std::to_string(out.size()) +
                       " values, expected " + std::to_string(TOK_FLOATS) + " (14, 16, 384)");
  }
  return reshaped(out, {14, NA, CA});
}

FloatTensor LitertChain::run_step(const FloatTensor& hist, const FloatTensor& atok) {
  if (atok.size() != NA * CA) {
    throw ValueError("run_step: a token row must hold " + std::to_string(NA * CA) +
                     " values, got " + std::to_string(atok.size()));
  }
  auto out = output0(STEP, {{hist_key_, hist}, {atok_key_, reshaped(atok, {1, NA, CA})}});
  if (out.size() != LATENT_FLOATS) {
    throw RuntimeError("LiteRT signature 'step' returned " + std::to_string(out.size()) +
                       " values, expected " + std::to_string(LATENT_FLOATS) + " (16, 90, 52)");
  }
  return reshaped(out, {LC, LH, LW});
}

void LitertChain::check_dec_args(const FloatTensor& xs, int64_t n, const char* what) {
  if (xs.shape.size() != 4 || xs.shape[1] != DEC_CH || xs.shape[2] != LH || xs.shape[3] != LW) {
    throw ValueError(std::string(what) + ": xs must have shape (rows, 36, 90, 52), got " +
                     shape_text(xs.shape));
  }
  if (n < 0) throw ValueError(std::string(what) + ": n must not be negative, got " + std::to_string(n));
  if (n > xs.shape[0]) {
    throw ValueError(std::string(what) + ": n=" + std::to_string(n) + " exceeds the " +
                     std::to_string(xs.shape[0]) + " rows of xs");
  }
}

FloatTensor LitertChain::decode_batch(int64_t b, const FloatTensor& input) {
  auto out = output0(b == 16 ? DEC16 : DEC8, {{"args_0", input}});
  const int64_t want = b * FRAME_FLOATS;
  if (out.size() != want) {
    throw RuntimeError("LiteRT signature " + repr_str(SIGS[b == 16 ? DEC16 : DEC8]) + " returned " +
                       std::to_string(out.size()) + " values, expected " + std::to_string(want) +
                       " (" + std::to_string(b) + ", 3, 720, 416)");
  }
  if (!out.writable) {
    // Frames are handed out writable (the RGB conversion may work in place): a runtime result
    // that is not ours to write is copied once.
    auto copy = FloatTensor::empty({b, 3, FH, FW});
    std::memcpy(copy.data, out.data, bytes_of(want));
    return copy;
  }
  return reshaped(out, {b, 3, FH, FW});
}

std::vector<FloatTensor> LitertChain::run_dec_frames(const FloatTensor& xs, int64_t n) {
  check_dec_args(xs, n, "run_dec_frames");
  std::vector<FloatTensor> frames;
  frames.reserve(static_cast<size_t>(n));
  for (int64_t i = 0; i < n;) {
    const int64_t rem = n - i;
    const int64_t b = rem > 8 ? 16 : 8;
    const int64_t take = rem < b ? rem : b;
    FloatTensor input;
    if (take == b) {
      // A full batch is handed over without a copy: the caller's rows are already contiguous,
      // and the view keeps the caller's storage alive through the shared owner.
      input = xs;
      input.data = xs.data + i * DEC_ROW_FLOATS;
      input.shape = {b, DEC_CH, LH, LW};
    } else {
      input = FloatTensor::zeros({b, DEC_CH, LH, LW});
      std::memcpy(input.data, xs.data + i * DEC_ROW_FLOATS, bytes_of(take * DEC_ROW_FLOATS));
    }
    auto out = decode_batch(b, input);
    for (int64_t k = 0; k < take; ++k) frames.push_back(out.row(k));
    i += take;
  }
  return frames;
}

FloatTensor LitertChain::run_dec_batch(const FloatTensor& xs, int64_t n) {
  check_dec_args(xs, n, "run_dec_batch");
  auto result = FloatTensor::empty({n, 3, FH, FW});
  for (int64_t i = 0; i < n;) {
    const int64_t rem = n - i;
    const int64_t b = rem > 8 ? 16 : 8;
    const int64_t take = rem < b ? rem : b;
    auto input = FloatTensor::zeros({b, DEC_CH, LH, LW});
    std::memcpy(input.data, xs.data + i * DEC_ROW_FLOATS, bytes_of(take * DEC_ROW_FLOATS));
    auto out = decode_batch(b, input);
    std::memcpy(result.data + i * FRAME_FLOATS, out.data, bytes_of(take * FRAME_FLOATS));
    i += take;
  }
  return result;
}

}  // namespace quorvane::m2

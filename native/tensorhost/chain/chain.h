// The five-signature model chain: audio encoding, tokenising, one latent step, batched frame
// decoding, and the latent history the step reads.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tensorhost/chain/model_runner.h"
#include "tensorhost/chain/tensor.h"

namespace quorvane::m2 {

/// What the renderer needs of a model chain. Implemented by LitertChain; anything else with the
/// same operations (an adapter over a Python object, a fake in tests) may stand in. Results are
/// float32, C-contiguous and owned by their tensors: no later call of the chain overwrites them.
/// Not thread-safe: one thread drives a chain.
class Chain {
 public:
  virtual ~Chain() = default;

  /// A new history (1, LC, CTX, LH, LW), every time slot equal to the canonical latent.
  virtual FloatTensor new_hist() = 0;

  /// Advances history `h` in place by latent `lat` (LATENT_FLOATS values): see shift_history.
  virtual void shift_hist(FloatTensor& h, const FloatTensor& lat) = 0;

  /// The encoder output for `tempo`, TEMPO_SAMPLES samples (fed as (1, TEMPO_SAMPLES)). Its shape
  /// is the model's. Throws ValueError for another sample count.
  virtual FloatTensor run_enc(const FloatTensor& tempo) = 0;

  /// The 14 token rows (14, NA, CA) for `feats`, the run_enc result, fed unchanged.
  virtual FloatTensor run_tok(const FloatTensor& feats) = 0;

  /// The next latent (LC, LH, LW) from history `hist` (fed unchanged, never modified) and token
  /// row `atok` (NA * CA values, fed as (1, NA, CA)).
  virtual FloatTensor run_step(const FloatTensor& hist, const FloatTensor& atok) = 0;

  /// Decodes rows 0..n-1 of `xs` (rows, 36, LH, LW) into n frames (3, FH, FW), in row order. Each
  /// frame is a writable view into its batch's result, shared only with that batch's frames.
  /// Throws ValueError when `xs` has another row shape, n < 0 or n exceeds its rows.
  virtual std::vector<FloatTensor> run_dec_frames(const FloatTensor& xs, int64_t n) = 0;

  /// The same frames as run_dec_frames, in one new contiguous tensor (n, 3, FH, FW).
  virtual FloatTensor run_dec_batch(const FloatTensor& xs, int64_t n) = 0;
};

/// Advances a history in place: per channel, slots 1..15 move to 0..14 (the oldest is dropped)
/// and slot 15 receives that channel of `lat`. Allocates nothing. Throws ValueError unless `h` is
/// a writable tensor of LC * CTX * PLANE values and `lat` holds LATENT_FLOATS values.
void shift_history(FloatTensor& h, const FloatTensor& lat);

/// The chain over LiteRT model files. Construction loads every file (through load_model), takes
/// each of the five signatures from the first file that offers it, releases staged copies of the
/// files (release_staged), checks that all five are present and keeps its own float32 copy of the
/// canonical latent. Interpreters and runners live as long as the chain.
class LitertChain final : public Chain {
 public:
  /// Produces the canonical latent once the files are loaded and released; a conversion error
  /// thrown here therefore comes after the release, as a wrong element count does.
  using CanonSource = std::function<FloatTensor()>;

  /// `tflite_paths` in order; `canon_source` gives LC * PLANE values of any shape; `threads` goes
  /// to every interpreter. Throws: the runtime's error when a file cannot be loaded (nothing is
  /// released then); RuntimeError "LiteRT chain missing signature(s) ..." when a signature is
  /// missing; ValueError when the canonical latent has another element count.
  LitertChain(std::vector<std::string> tflite_paths, const CanonSource& canon_source, int64_t threads);

  /// As above with the canonical latent given directly (copied).
  LitertChain(std::vector<std::string> tflite_paths, const FloatTensor& canon, int64_t threads);

  FloatTensor new_hist() override;
  void shift_hist(FloatTensor& h, const FloatTensor& lat) override;
  FloatTensor run_enc(const FloatTensor& tempo) override;
  FloatTensor run_tok(const FloatTensor& feats) override;
  FloatTensor run_step(const FloatTensor& hist, const FloatTensor& atok) override;
  std::vector<FloatTensor> run_dec_frames(const FloatTensor& xs, int64_t n) override;
  FloatTensor run_dec_batch(const FloatTensor& xs, int64_t n) override;

  /// Signature indices in SIGS order, for runner() and invocations().
  enum Sig : size_t { ENC = 0, TOK = 1, STEP = 2, DEC16 = 3, DEC8 = 4 };

  /// One loaded model per path, in the order given.
  const std::vector<std::unique_ptr<ModelRunner>>& interpreters() const { return its_; }
  /// The runner bound to signature `s`.
  const std::shared_ptr<SignatureRunner>& runner(Sig s) const { return runners_[s]; }
  /// Name of the "step" input that takes the history, and of the one that takes the token row.
  const std::string& hist_key() const { return hist_key_; }
  const std::string& atok_key() const { return atok_key_; }
  /// The chain's canonical latent (LC, PLANE); writes into it show in later new_hist results.
  const FloatTensor& canon() const { return canon_; }
  /// How often each signature has been invoked since construction (a diagnostic for tests).
  const std::array<int64_t, 5>& invocations() const { return invocations_; }

 private:
  FloatTensor output0(Sig s, const std::vector<NamedTensor>& inputs);
  FloatTensor decode_batch(int64_t b, const FloatTensor& input);
  static void check_dec_args(const FloatTensor& xs, int64_t n, const char* what);

  std::vector<std::unique_ptr<ModelRunner>> its_;
  std::array<std::shared_ptr<SignatureRunner>, 5> runners_;
  std::string hist_key_;
  std::string atok_key_;
  FloatTensor canon_;
  std::array<int64_t, 5> invocations_{};
};

}  // namespace quorvane::m2

#include "tensorhost/kernels/wsola.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

namespace {

constexpr double kTwo31 = 2147483648.0;
constexpr double kInt32Min = -2147483648.0;
constexpr double kInt32Max = 2147483647.0;

constexpr int64_t kOverlap = SR_WSOLA_OVERLAP;               // cross-fade length
constexpr int64_t kHop = SR_WSOLA_SEGMENT - kOverlap;        // output samples per block
constexpr int64_t kHalf = (SR_WSOLA_SEARCH - 1) / 2;         // search radius
constexpr int64_t kPad = kHalf + SR_WSOLA_SEGMENT + 1;       // zeros on each side of the input
constexpr size_t kCandidates = static_cast<size_t>(SR_WSOLA_SEARCH);

// The input on the grid with kPad zeros on both sides, so that every read the algorithm makes
// (candidates, heads, tails) is a plain load.
struct PaddedGrid {
  std::vector<float> data;
  int64_t n = 0;

  // Grid sample at input index `i`, valid for -kPad <= i < n + kPad.
  const float* at(int64_t i) const { return data.data() + (kPad + i); }

  // `cnt` samples starting at input index `a`, with 0 for every index outside [0, n).
  void take(int64_t a, int64_t cnt, float* dst) const {
    const int64_t k_lo = std::clamp<int64_t>(-a, 0, cnt);
    const int64_t k_hi = std::clamp<int64_t>(n - a, 0, cnt);
    std::fill(dst, dst + k_lo, 0.0f);
    if (k_hi > k_lo) {
      std::memcpy(dst + k_lo, at(a + k_lo), static_cast<size_t>(k_hi - k_lo) * sizeof(float));
    }
    std::fill(dst + std::max(k_lo, k_hi), dst + cnt, 0.0f);
  }
};

template <class T>
PaddedGrid pad_onto_grid(const T* x, int64_t n) {
  PaddedGrid g;
  g.n = n;
  g.data.assign(static_cast<size_t>(n + 2 * kPad), 0.0f);
  wsola_to_buf(x, n, g.data.data() + kPad);
  return g;
}

// Index j of the first smallest distance between `tail` and the 235 candidates starting at input
// indices nom - kHalf + j. Each distance is a running double sum over i = 0 .. 191 in ascending
// order, one rounded square per step; the candidates are swept side by side (i outer) so the
// inner loop vectorises while every candidate keeps its own summation order.
size_t best_candidate(const PaddedGrid& g, int64_t nom, const float* tail) {
  std::array<double, kCandidates> ssd{};
  const float* first = g.at(nom - kHalf);
  for (int64_t i = 0; i < kOverlap; ++i) {
    const double t = static_cast<double>(tail[i]);
    const float* row = first + i;
    for (size_t j = 0; j < kCandidates; ++j) {
      const double d = static_cast<double>(row[j]) - t;
      ssd[j] += d * d;
    }
  }
  size_t best = 0;
  for (size_t j = 1; j < kCandidates; ++j) {
    if (ssd[j] < ssd[best]) best = j;
  }
  return best;
}

// The whole tempo change on a padded grid; returns float32 PCM.
FloatTensor tempo_on_grid(const PaddedGrid& g, int64_t n_out, double factor) {
  const double skip = factor * static_cast<double>(kHop);

  const float inv = 1.0f / 192.0f;
  std::array<float, kOverlap> w{};  // fade-in: never reaches 1.0
  std::array<float, kOverlap> u{};  // fade-out
  for (int64_t i = 0; i < kOverlap; ++i) {
    w[static_cast<size_t>(i)] = static_cast<float>(i) * inv;
    u[static_cast<size_t>(i)] = 1.0f - w[static_cast<size_t>(i)];
  }

  FloatTensor out = FloatTensor::empty({n_out});
  std::array<float, kHop> block{};
  std::array<float, kOverlap> tail{};
  std::array<float, kOverlap> head{};
  int64_t q = 0;
  for (int64_t blk = 0; blk * kHop < n_out; ++blk) {
    const int64_t o0 = blk * kHop;
    const int64_t emit = std::min(kHop, n_out - o0);
    if (blk == 0) {
      g.take(0, kHop, block.data());
    } else {
      g.take(q + kHop, kOverlap, tail.data());
      const double nom_d = std::floor(static_cast<double>(blk) * skip + 0.5);
      // Holds for every positive factor; checked so that the cast below and the candidate reads
      // stay defined whatever the rounding.
      if (!(nom_d >= static_cast<double>(kHalf - kPad) &&
            nom_d <= static_cast<double>(g.n + kPad - kHalf - kOverlap))) {
        throw RuntimeError("WSOLA search position outside the padded input");
      }
      const auto nom = static_cast<int64_t>(nom_d);
      const int64_t qj = nom - kHalf + static_cast<int64_t>(best_candidate(g, nom, tail.data()));
      g.take(qj, kOverlap, head.data());
      for (size_t i = 0; i < static_cast<size_t>(kOverlap); ++i) {
        const float faded_out = tail[i] * u[i];
        const float faded_in = head[i] * w[i];
        block[i] = faded_out + faded_in;
      }
      g.take(qj + kOverlap, kHop - kOverlap, block.data() + kOverlap);
      q = qj;
    }
    std::memcpy(out.data + o0, block.data(), static_cast<size_t>(emit) * sizeof(float));
  }
  wsola_from_buf(out.data, n_out, out.data);
  return out;
}

template <class T>
FloatTensor tempo_wsola_impl(const T* x, int64_t n, double factor) {
  if (n < 0) throw ValueError("negative sample count");
  const int64_t n_out = wsola_output_length(n, factor);
  return tempo_on_grid(pad_onto_grid(x, n), n_out, factor);
}

}  // namespace

float wsola_to_grid(double sample) {
  if (std::isnan(sample)) sample = 0.0;
  const double v = std::clamp(std::trunc(sample * kTwo31), kInt32Min, kInt32Max);
  return static_cast<float>(std::floor((v + 64.0) / 128.0));
}

float wsola_from_grid(double value) {
  if (std::isnan(value)) value = 0.0;
  const double v = std::clamp(std::floor(value + 0.5) * 128.0, kInt32Min, kInt32Max);
  return static_cast<float>(v / kTwo31);
}

void wsola_to_buf(const float* d, int64_t n, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = wsola_to_grid(static_cast<double>(d[i]));
}

void wsola_to_buf(const double* d, int64_t n, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = wsola_to_grid(d[i]);
}

void wsola_from_buf(const float* v, int64_t n, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = wsola_from_grid(static_cast<double>(v[i]));
}

void wsola_from_buf(const double* v, int64_t n, float* out) {
  for (int64_t i = 0; i < n; ++i) out[i] = wsola_from_grid(v[i]);
}

int64_t wsola_output_length(int64_t n, double factor) {
  if (factor == 0.0) throw ZeroDivisionError("float division by zero");
  const double len = std::floor(static_cast<double>(n) / factor + 0.5);
  if (std::isnan(len)) throw ValueError("cannot convert float NaN to integer");
  if (len <= 0.0) return 0;
  // 2^53: beyond it the length is no longer an exact integer, and far beyond any memory.
  if (!(len < 9007199254740992.0)) {
    throw ValueError("tempo factor too small: output length out of range");
  }
  return static_cast<int64_t>(len);
}

FloatTensor tempo_wsola(const float* x, int64_t n, double factor) {
  return tempo_wsola_impl(x, n, factor);
}

FloatTensor tempo_wsola(const double* x, int64_t n, double factor) {
  return tempo_wsola_impl(x, n, factor);
}

}  // namespace quorvane::m2

#include "tensorhost/kernels/rgb888.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <tmmintrin.h>
#endif

#include "tensorhost/constants.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/host/log.h"
#include "tensorhost/host/threads.h"
#include "tensorhost/kernels/rgb_pool.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

constexpr int64_t kPlane = FH * FW;  // values of one colour plane
// Pixels handled per pass: the block's three float rows, its planar bytes and its output stay in
// the core's own cache between the scale pass and the interleave.
constexpr int64_t kBlock = 4096;

// This thread's planar scratch, 3 x FH x FW bytes.
thread_local std::unique_ptr<uint8_t[]> t_planar;

uint8_t* thread_planar() {
  if (!t_planar) t_planar.reset(new uint8_t[static_cast<size_t>(3 * kPlane)]);
  return t_planar.get();
}

// This thread's float scratch for fast-path frames that are not laid out contiguously; made only
// when such a frame comes along.
thread_local std::unique_ptr<float[]> t_unpacked;

float* thread_unpacked() {
  if (!t_unpacked) t_unpacked.reset(new float[static_cast<size_t>(3 * kPlane)]);
  return t_unpacked.get();
}

// Visits the byte address of every element of a (3, FH, FW) frame in C order.
template <class F>
void for_each_element(const RgbFrame& f, F&& visit) {
  auto* base = reinterpret_cast<std::byte*>(f.f32.data);
  const auto& st = f.f32_byte_strides;
  int64_t k = 0;
  for (int64_t c = 0; c < 3; ++c)
    for (int64_t y = 0; y < FH; ++y) {
      std::byte* row = base + c * st[0] + y * st[1];
      for (int64_t x = 0; x < FW; ++x) visit(k++, row + x * st[2]);
    }
}

const std::vector<int64_t>& frame_shape(const RgbFrame& f) {
  return f.is_f64 ? f.f64.shape : f.f32.shape;
}

// The bytes [begin, end) that a frame's elements lie in (all of them, for a strided frame).
std::pair<uintptr_t, uintptr_t> frame_span(const RgbFrame& f) {
  if (f.is_f64) {
    auto b = reinterpret_cast<uintptr_t>(f.f64.data);
    return {b, b + static_cast<size_t>(f.f64.size()) * sizeof(double)};
  }
  auto b = reinterpret_cast<uintptr_t>(f.f32.data);
  if (f.f32.size() == 0) return {b, b};
  if (f.f32_byte_strides.empty()) return {b, b + static_cast<size_t>(f.f32.size()) * sizeof(float)};
  int64_t lo = 0, hi = 0;
  for (size_t d = 0; d < 3; ++d) {
    int64_t reach = (f.f32.shape[d] - 1) * f.f32_byte_strides[d];
    (reach < 0 ? lo : hi) += reach;
  }
  return {b + static_cast<uintptr_t>(lo), b + static_cast<uintptr_t>(hi) + sizeof(float)};
}

void check_general_shape(const RgbFrame& f) {
  const auto& s = frame_shape(f);
  int64_t n = 1;
  for (auto d : s) n *= d;
  if (s.size() != 3 || s[0] != 3 || n != 3 * kPlane)
    throw ValueError("a frame must hold 3 planes of " + std::to_string(FH) + " x " +
                     std::to_string(FW) + " values (3 x " + std::to_string(FH) + " x " +
                     std::to_string(FW) + " = " + std::to_string(3 * kPlane) +
                     "), got shape " + shape_text(s));
}

// Scales one run of a plane by 255 in single precision and clips it to 0..255 in place (NaN
// stays NaN, as a clip leaves it), writing the truncated bytes (NaN as 0) to `dst`.
void scale_clip_run(float* __restrict src, uint8_t* __restrict dst, int64_t len) {
  int64_t k = 0;
#if defined(__SSE2__)
  // max/min return their second operand when either is NaN: max(0, p) and min(255, c) keep a
  // NaN, max(c, 0) turns it into 0 for the byte. Measured at memory speed, where the compiler's
  // own vectorisation of the scalar loop below runs at less than half of it.
  const __m128 zero = _mm_setzero_ps();
  const __m128 top = _mm_set1_ps(255.0f);
  for (; k + 16 <= len; k += 16) {
    __m128i w[4];
    for (int j = 0; j < 4; ++j) {
      __m128 p = _mm_mul_ps(_mm_loadu_ps(src + k + 4 * j), top);
      __m128 c = _mm_min_ps(top, _mm_max_ps(zero, p));
      _mm_storeu_ps(src + k + 4 * j, c);
      w[j] = _mm_cvttps_epi32(_mm_max_ps(c, zero));
    }
    __m128i lo = _mm_packs_epi32(w[0], w[1]);
    __m128i hi = _mm_packs_epi32(w[2], w[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; k < len; ++k) {
    float p = src[k] * 255.0f;
    float c = p < 0.0f ? 0.0f : p;
    c = c > 255.0f ? 255.0f : c;
    src[k] = c;
    float q = c > 0.0f ? c : 0.0f;
    dst[k] = static_cast<uint8_t>(static_cast<int32_t>(q));
  }
}

// Table lookups eight bytes at a time through one 64-bit word: measured at half the time of the
// byte loop, which the compiler turns into slow emulated gathers.
void map_run_plain(uint8_t* __restrict bytes, const uint8_t* __restrict map, int64_t len) {
  int64_t k = 0;
  for (; k + 8 <= len; k += 8) {
    uint64_t in;
    std::memcpy(&in, bytes + k, 8);
    uint64_t out = 0;
    for (int j = 0; j < 8; ++j) out |= uint64_t{map[(in >> (8 * j)) & 255u]} << (8 * j);
    std::memcpy(bytes + k, &out, 8);
  }
  for (; k < len; ++k) bytes[k] = map[bytes[k]];
}

#if defined(__x86_64__) || defined(__i386__)
// scale_clip_run and the table lookup in one pass, 64 values at a time (NaN handled as there:
// the same max/min operand order). The table's two 128-byte halves are each looked up by one
// two-register byte permute and the byte's top bit picks the half, so the lookup costs next to
// nothing: a corrected chunk measured 1.04 to 1.10 times the uncorrected time with the separate
// 64-bit word lookup pass, about 1.0 this way, and the uncorrected chunk itself 7% faster.
// `map` is null for no lookup.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 intrinsics start from deliberately undefined registers, which its own
// -Wmaybe-uninitialized reports once they are inlined here (a known false positive).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void scale_clip_map_vbmi(
    float* __restrict src, uint8_t* __restrict dst, int64_t len, const uint8_t* __restrict map) {
  const __m512 zero = _mm512_setzero_ps();
  const __m512 top = _mm512_set1_ps(255.0f);
  __m512i t0 = _mm512_setzero_si512(), t1 = t0, t2 = t0, t3 = t0;
  if (map) {
    t0 = _mm512_loadu_si512(map);
    t1 = _mm512_loadu_si512(map + 64);
    t2 = _mm512_loadu_si512(map + 128);
    t3 = _mm512_loadu_si512(map + 192);
  }
  int64_t k = 0;
  for (; k + 64 <= len; k += 64) {
    __m128i quarter[4];
    for (int j = 0; j < 4; ++j) {
      __m512 p = _mm512_mul_ps(_mm512_loadu_ps(src + k + 16 * j), top);
      __m512 c = _mm512_min_ps(top, _mm512_max_ps(zero, p));
      _mm512_storeu_ps(src + k + 16 * j, c);
      quarter[j] = _mm512_cvtepi32_epi8(_mm512_cvttps_epi32(_mm512_max_ps(c, zero)));
    }
    __m512i x = _mm512_inserti32x4(_mm512_castsi128_si512(quarter[0]), quarter[1], 1);
    x = _mm512_inserti32x4(x, quarter[2], 2);
    x = _mm512_inserti32x4(x, quarter[3], 3);
    if (map) {
      const __m512i low_half = _mm512_permutex2var_epi8(t0, x, t1);
      const __m512i high_half = _mm512_permutex2var_epi8(t2, x, t3);
      x = _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low_half, high_half);
    }
    _mm512_storeu_si512(dst + k, x);
  }
  scale_clip_run(src + k, dst + k, len - k);
  if (map) map_run_plain(dst + k, map, len - k);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Without byte permutes: the table's sixteen 16-entry rows are looked up by the low nibble, and
// the high nibble picks the row. Bit 7 costs no blend: a byte shuffle gives 0 where its index
// has bit 7 set, so the index with bit 7 as it is reads row h and the index with bit 7 flipped
// reads row h + 8, and an OR keeps the one that applies. A tree of byte blends keyed on bits 4, 5
// and 6 then picks among the remaining eight (a blend reads the top bit of each mask byte; a
// 16-bit shift left brings bit 7 - s of every byte there). The rows are read from memory at each
// use: held in registers they leave too few for the tree, and the spills made the lookup cost
// twice as much.
struct Avx2Table {
  __m256i rows[16];
};

__attribute__((target("avx2"))) inline void avx2_table(Avx2Table& t, const uint8_t* map) {
  for (int h = 0; h < 16; ++h) {
    t.rows[h] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(map + 16 * h)));
  }
}

__attribute__((target("avx2"))) inline __m256i avx2_row(const Avx2Table& t, int h, __m256i lo,
                                                        __m256i hi) {
  return _mm256_or_si256(_mm256_shuffle_epi8(_mm256_load_si256(&t.rows[h]), lo),
                         _mm256_shuffle_epi8(_mm256_load_si256(&t.rows[h + 8]), hi));
}

__attribute__((target("avx2"))) inline __m256i avx2_lookup(const Avx2Table& t, __m256i x) {
  const __m256i lo = _mm256_and_si256(x, _mm256_set1_epi8(static_cast<char>(0x8f)));
  const __m256i hi = _mm256_xor_si256(lo, _mm256_set1_epi8(static_cast<char>(0x80)));
  const __m256i bit4 = _mm256_slli_epi16(x, 3);
  const __m256i bit5 = _mm256_slli_epi16(x, 2);
  const __m256i bit6 = _mm256_slli_epi16(x, 1);
  __m256i quad[2];
  for (int q = 0; q < 2; ++q) {
    const int h = 4 * q;
    const __m256i a =
        _mm256_blendv_epi8(avx2_row(t, h, lo, hi), avx2_row(t, h + 1, lo, hi), bit4);
    const __m256i b =
        _mm256_blendv_epi8(avx2_row(t, h + 2, lo, hi), avx2_row(t, h + 3, lo, hi), bit4);
    quad[q] = _mm256_blendv_epi8(a, b, bit5);
  }
  return _mm256_blendv_epi8(quad[0], quad[1], bit6);
}

// scale_clip_run and the table lookup in one pass, 32 values at a time (NaN handled as there:
// the same max/min operand order). The lookup's shuffles and blends then overlap the wait for the
// floats from memory. `map` is null for no lookup.
__attribute__((target("avx2"))) void scale_clip_map_avx2(float* __restrict src,
                                                         uint8_t* __restrict dst, int64_t len,
                                                         const uint8_t* __restrict map) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 top = _mm256_set1_ps(255.0f);
  // packs/packus work within 128-bit lanes; this puts the 32-bit groups back in value order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  alignas(32) Avx2Table t;
  if (map) avx2_table(t, map);
  int64_t k = 0;
  for (; k + 32 <= len; k += 32) {
    __m256i w[4];
    for (int j = 0; j < 4; ++j) {
      __m256 p = _mm256_mul_ps(_mm256_loadu_ps(src + k + 8 * j), top);
      __m256 c = _mm256_min_ps(top, _mm256_max_ps(zero, p));
      _mm256_storeu_ps(src + k + 8 * j, c);
      w[j] = _mm256_cvttps_epi32(_mm256_max_ps(c, zero));
    }
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(w[0], w[1]),
                                               _mm256_packs_epi32(w[2], w[3]));
    __m256i x = _mm256_permutevar8x32_epi32(packed, order);
    if (map) x = avx2_lookup(t, x);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + k), x);
  }
  scale_clip_run(src + k, dst + k, len - k);
  if (map) map_run_plain(dst + k, map, len - k);
}

// How the fast path scales and looks up: scale_clip_map_vbmi or scale_clip_map_avx2 in one pass,
// else scale_clip_run followed by map_run_plain.
enum class FastKernel { kPlain, kAvx2, kVbmi };

// Decided once, at load; the explicit init makes the query safe from a static initialiser.
const FastKernel kFastKernel = [] {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi")) {
    return FastKernel::kVbmi;
  }
  if (__builtin_cpu_supports("avx2")) return FastKernel::kAvx2;
  return FastKernel::kPlain;
}();
#endif

void interleave_plain(const uint8_t* __restrict r, const uint8_t* __restrict g,
                      const uint8_t* __restrict b, uint8_t* __restrict out, int64_t len) {
  for (int64_t k = 0; k < len; ++k) {
    out[3 * k] = r[k];
    out[3 * k + 1] = g[k];
    out[3 * k + 2] = b[k];
  }
}

#if defined(__x86_64__) || defined(__i386__)
// 16 pixels per step with byte shuffles: three times faster than the plain loop, which the
// compiler cannot vectorise.
__attribute__((target("ssse3"))) void interleave_ssse3(const uint8_t* __restrict r,
                                                       const uint8_t* __restrict g,
                                                       const uint8_t* __restrict b,
                                                       uint8_t* __restrict out, int64_t len) {
  const __m128i r0 = _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5);
  const __m128i g0 = _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1);
  const __m128i b0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
  const __m128i r1 = _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1);
  const __m128i g1 = _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10);
  const __m128i b1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1);
  const __m128i r2 = _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1);
  const __m128i g2 = _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1);
  const __m128i b2 = _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15);
  int64_t k = 0;
  for (; k + 16 <= len; k += 16) {
    __m128i R = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + k));
    __m128i G = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + k));
    __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
    auto* o = reinterpret_cast<__m128i*>(out + 3 * k);
    _mm_storeu_si128(o, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(R, r0), _mm_shuffle_epi8(G, g0)),
                                     _mm_shuffle_epi8(B, b0)));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(R, r1), _mm_shuffle_epi8(G, g1)),
                                         _mm_shuffle_epi8(B, b1)));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(R, r2), _mm_shuffle_epi8(G, g2)),
                                         _mm_shuffle_epi8(B, b2)));
  }
  interleave_plain(r + k, g + k, b + k, out + 3 * k, len - k);
}

// Decided once, at load; the explicit init makes the query safe from a static initialiser.
const bool kHaveSsse3 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

void interleave_run(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* out,
                    int64_t len) {
#if defined(__x86_64__) || defined(__i386__)
  if (kHaveSsse3) return interleave_ssse3(r, g, b, out, len);
#endif
  interleave_plain(r, g, b, out, len);
}

// Fast path: the frame is scaled and clipped in place, converted into the planar scratch, the
// byte map (if any) applied to the planar bytes, and the planes interleaved into `out`.
void convert_fast(float* f, uint8_t* planar, const uint8_t* map, uint8_t* out) {
  for (int64_t k0 = 0; k0 < kPlane; k0 += kBlock) {
    int64_t len = std::min(kBlock, kPlane - k0);
    for (int64_t c = 0; c < 3; ++c) {
      float* src = f + c * kPlane + k0;
      uint8_t* dst = planar + c * kPlane + k0;
      const uint8_t* channel_map = map ? map + c * 256 : nullptr;
#if defined(__x86_64__) || defined(__i386__)
      if (kFastKernel == FastKernel::kVbmi) {
        scale_clip_map_vbmi(src, dst, len, channel_map);
        continue;
      }
      if (kFastKernel == FastKernel::kAvx2) {
        scale_clip_map_avx2(src, dst, len, channel_map);
        continue;
      }
#endif
      scale_clip_run(src, dst, len);
      if (channel_map) map_run_plain(dst, channel_map, len);
    }
    interleave_run(planar + k0, planar + kPlane + k0, planar + 2 * kPlane + k0, out + 3 * k0, len);
  }
}

template <class T>
void convert_general_values(const T* src, uint8_t* out) {
  for (int64_t c = 0; c < 3; ++c) {
    const T* plane = src + c * kPlane;
    for (int64_t k = 0; k < kPlane; ++k) out[3 * k + c] = rgb_byte(plane[k]);
  }
}

// Hands a whole RGB888 frame to a correction implemented outside the core and stores its answer.
void custom_apply_into(const ColorCorrect& cc, uint8_t* frame) {
  ByteTensor view;
  view.data = frame;
  view.shape = {FH, FW, 3};
  view.owner = std::shared_ptr<const void>(frame, [](const void*) {});
  ByteTensor res = cc.apply(view);
  if (res.size() != FRAME_BYTES)
    throw ValueError("apply() returned " + std::to_string(res.size()) + " bytes for a frame of " +
                     std::to_string(FRAME_BYTES));
  if (res.data != frame) std::copy(res.data, res.data + FRAME_BYTES, frame);
}

// General path into `out` (FRAME_BYTES): never touches the frame.
void convert_general(const RgbFrame& f, const ColorCorrect* cc, uint8_t* out) {
  check_general_shape(f);
  if (f.is_f64) {
    convert_general_values(f.f64.data, out);
  } else {
    convert_general_values(f.f32.data, out);
  }
  if (!cc) return;
  if (cc->custom_apply()) {
    custom_apply_into(*cc, out);
  } else {
    apply_byte_map(cc->byte_map(), out, out, kPlane);
  }
}

// True when some frame's memory overlaps another's and one of the two is written in place.
bool frames_overlap(const std::vector<RgbFrame>& px) {
  struct Span {
    uintptr_t b, e;
    bool fast;
  };
  std::vector<Span> spans;
  spans.reserve(px.size());
  for (const auto& f : px) {
    auto [b, e] = frame_span(f);
    if (e > b) spans.push_back({b, e, f.fast()});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.b < b.b; });
  // Sweep keeping the furthest end seen so far and whether a written frame reaches it.
  uintptr_t end = 0, fast_end = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    const auto& s = spans[i];
    if (i && s.b < end && (s.fast || s.b < fast_end)) return true;
    end = std::max(end, s.e);
    if (s.fast) fast_end = std::max(fast_end, s.e);
  }
  return false;
}

}  // namespace

bool RgbFrame::fast() const {
  return !is_f64 && f32.writable && f32.data != nullptr &&
         f32.shape == std::vector<int64_t>{3, FH, FW};
}

ByteTensor px_to_rgb888(const RgbFrame& frame, const ColorCorrect* cc) {
  ByteTensor out = ByteTensor::empty({FH, FW, 3});
  convert_general(frame, cc, out.data);
  return out;
}

void rgb_convert_range(const std::vector<RgbFrame>& px, uint8_t* u8, int64_t lo, int64_t hi,
                       const ColorCorrect* cc) {
  uint8_t* planar = thread_planar();
  // Both kinds of a core correction are a byte map, looked up on the planar bytes before the
  // interleave; a correction implemented outside the core keeps its table for the fast path
  // (kind "lut") or gets each finished frame (any other kind).
  std::array<uint8_t, COLOR_TABLE_BYTES> map{};
  bool have_map = false;
  bool map_tried = false;
  for (int64_t i = lo; i < hi; ++i) {
    const RgbFrame& f = px[static_cast<size_t>(i)];
    uint8_t* out = u8 + i * FRAME_BYTES;
    if (!f.fast()) {
      convert_general(f, cc, out);
      continue;
    }
    if (cc && !map_tried) {
      map_tried = true;
      if (cc->is_lut() || !cc->custom_apply()) {
        map = cc->byte_map();
        have_map = true;
      }
    }
    const uint8_t* byte_map = have_map ? map.data() : nullptr;
    if (f.f32_byte_strides.empty()) {
      convert_fast(f.f32.data, planar, byte_map, out);
    } else {
      // Another layout: converted in a contiguous copy whose scaled values are then written
      // back, so the caller's frame ends up as a contiguous one would.
      float* unpacked = thread_unpacked();
      for_each_element(f, [&](int64_t k, std::byte* p) { std::memcpy(unpacked + k, p, 4); });
      convert_fast(unpacked, planar, byte_map, out);
      for_each_element(f, [&](int64_t k, std::byte* p) { std::memcpy(p, unpacked + k, 4); });
    }
    if (cc && !have_map) custom_apply_into(*cc, out);
  }
}

std::vector<std::pair<int64_t, int64_t>> rgb_ranges(int64_t n, int64_t threads) {
  int64_t t = std::min(std::max<int64_t>(1, threads), n);
  if (t <= 1) return {{0, n}};
  int64_t step = (n + t - 1) / t;
  std::vector<std::pair<int64_t, int64_t>> out;
  for (int64_t lo = 0; lo < n; lo += step) out.emplace_back(lo, std::min(lo + step, n));
  return out;
}

ByteTensor px_to_rgb888_chunk(const std::vector<RgbFrame>& px, const ColorCorrect* cc,
                              int64_t threads) {
  const auto n = static_cast<int64_t>(px.size());
  ByteTensor u8 = ByteTensor::empty({n, FH, FW, 3});
  int64_t t = std::min(std::max<int64_t>(1, threads), n);
  if (t > 1 && frames_overlap(px)) t = 1;
  if (t <= 1) {
    rgb_convert_range(px, u8.data, 0, n, cc);
    return u8;
  }
  RgbPool& pool = rgb_pool(t);
  auto ranges = rgb_ranges(n, t);

  struct Batch {
    std::mutex m;
    std::condition_variable cv;
    size_t pending = 0;
    std::vector<std::exception_ptr> errors;
  };
  auto batch = std::make_shared<Batch>();
  batch->pending = ranges.size();
  batch->errors.resize(ranges.size());
  uint8_t* out = u8.data;
  for (size_t k = 0; k < ranges.size(); ++k) {
    auto [lo, hi] = ranges[k];
    pool.submit([batch, k, lo = lo, hi = hi, &px, out, cc] {
      std::exception_ptr err;
      try {
        rgb_convert_range(px, out, lo, hi, cc);
      } catch (...) {
        err = std::current_exception();
      }
      std::lock_guard<std::mutex> g(batch->m);
      batch->errors[k] = std::move(err);
      if (--batch->pending == 0) batch->cv.notify_all();
    });
  }
  std::vector<std::exception_ptr> errors;
  {
    std::unique_lock<std::mutex> g(batch->m);
    batch->cv.wait(g, [&] { return batch->pending == 0; });
    // The errors leave the shared record, so they are released here, on the caller's thread.
    errors = std::move(batch->errors);
  }
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  return u8;
}

ByteTensor px_to_rgb888_chunk(const std::vector<FloatTensor>& px, const ColorCorrect* cc,
                              int64_t threads) {
  std::vector<RgbFrame> frames(px.begin(), px.end());
  return px_to_rgb888_chunk(frames, cc, threads);
}

ByteTensor px_to_rgb888_chunk(const FloatTensor& px, const ColorCorrect* cc, int64_t threads) {
  if (px.shape.size() != 4)
    throw ValueError("a chunk of frames must be 4-D (n, 3, " + std::to_string(FH) + ", " +
                     std::to_string(FW) + "), got shape " + shape_text(px.shape));
  std::vector<RgbFrame> frames;
  frames.reserve(static_cast<size_t>(px.shape[0]));
  for (int64_t i = 0; i < px.shape[0]; ++i) frames.emplace_back(px.row(i));
  return px_to_rgb888_chunk(frames, cc, threads);
}

int64_t rgb_threads() {
  std::string raw = strip_unicode(getenv_str(std::string(RGB_THREADS_ENV).c_str()));
  if (!raw.empty()) {
    if (auto v = parse_int(raw)) return std::max<int64_t>(1, *v);
    // parse_int gives up beyond 64 bits where int() would not: a well-formed huge number still
    // counts, and only its sign matters here.
    std::string digits = raw;
    bool neg = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.erase(0, 1);
    bool well_formed = !digits.empty() && digits.front() != '_' && digits.back() != '_' &&
                       digits.find("__") == std::string::npos &&
                       digits.find_first_not_of("0123456789_") == std::string::npos;
    if (well_formed) return neg ? 1 : INT64_MAX;
    elog(std::string(RGB_THREADS_ENV) + "=" + repr_str(raw) +
         " is not an integer — using the default");
  }
  return std::max<int64_t>(1, std::min<int64_t>(8, effective_cpu_count() / 3));
}

bool rgb_thread_has_planar() { return t_planar != nullptr; }

}  // namespace quorvane::m2

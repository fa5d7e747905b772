// The frame decoder's input rows: one row per output frame, built from a chunk's latents.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "tensorhost/chain/tensor.h"

namespace quorvane::m2 {

/// Number of decoder rows for `blk` latents: four phases per latent, except that the first latent
/// gives only its last phase when there is no previous latent. 0 for blk 0.
int64_t dec_row_count(int64_t blk, bool has_prev_lat);

/// Builds the decoder inputs of one chunk.
///
/// For latent i = 0 .. blk-1 and its phases (3 only, for i = 0 without `prev_lat`; 0 .. 3
/// otherwise), one row of DEC_CH channel planes of LH x LW: channels 0-15 hold latent i, channels
/// 16-31 the latent before it (latent i-1; for i = 0 `prev_lat`, or latent 0 itself when
/// `prev_lat` is null), and channel 32 + phase is all ones; the other phase channels are zero.
///
/// `lats` holds at least `blk` latents, each LATENT_FLOATS contiguous float32 values (any shape);
/// `prev_lat` is null or such a latent. Neither is modified nor retained.
/// Returns (xs, n): xs a new, owned, writable tensor of shape (n, DEC_CH, LH, LW); n its rows.
/// Throws ValueError for a negative `blk`, fewer than `blk` latents, or a used latent (or
/// `prev_lat`, when blk > 0) of the wrong size; nothing is returned then.
/// Thread-safe (pure).
std::pair<FloatTensor, int64_t> build_dec_inputs(const std::vector<FloatTensor>& lats,
                                                 int64_t blk, const FloatTensor* prev_lat);

}  // namespace quorvane::m2

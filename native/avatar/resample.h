// The live stream's linear resampler.
//
// The input samples sit at positions i * (1 / n_in), i = 0 .. n_in - 1, and the output samples
// are read at positions j * (1 / n_out), j = 0 .. n_out - 1: both grids start at 0 and stop short
// of 1, each position the index times the float64 step (the grid np.linspace(0, 1, n,
// endpoint=False) builds). Each output is the float64 linear interpolation between the two input
// samples around its position, computed exactly as np.interp computes it (slope times offset plus
// the left sample, the other side tried when that is NaN), and a position at or past the last
// input position takes the last input sample. The result is then rounded once to the element type.
#pragma once

#include <cstddef>

namespace quorvane::avatar {

/// Resamples `n_in` samples of `in` onto `n_out` samples of `out` (see above). `n_in` >= 1;
/// `in` and `out` may not overlap. Defined for float and double elements.
template <class T>
void resample_linear(const T* in, std::size_t n_in, T* out, std::size_t n_out);

extern template void resample_linear<float>(const float*, std::size_t, float*, std::size_t);
extern template void resample_linear<double>(const double*, std::size_t, double*, std::size_t);

}  // namespace quorvane::avatar

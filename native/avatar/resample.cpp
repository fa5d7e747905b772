#include "avatar/resample.h"

#include <cassert>
#include <cmath>

namespace quorvane::avatar {

template <class T>
void resample_linear(const T* in, std::size_t n_in, T* out, std::size_t n_out) {
  assert(n_in >= 1);
  const double step_in = 1.0 / static_cast<double>(n_in);
  const double step_out = 1.0 / static_cast<double>(n_out);
  const std::size_t last = n_in - 1;
  const double x_last = static_cast<double>(last) * step_in;
  auto xp = [step_in](std::size_t i) { return static_cast<double>(i) * step_in; };
  // The output positions only grow, so the input interval is found by walking forward: the same
  // interval a search of the input grid finds (the last input position not past the output one).
  std::size_t j = 0;
  for (std::size_t k = 0; k < n_out; ++k) {
    const double x = static_cast<double>(k) * step_out;
    double r;
    if (n_in == 1 || x >= x_last) {
      r = static_cast<double>(in[last]);
    } else {
      while (xp(j + 1) <= x) ++j;
      const double x0 = xp(j);
      const double f0 = static_cast<double>(in[j]);
      if (x0 == x) {
        r = f0;
      } else {
        const double x1 = xp(j + 1);
        const double f1 = static_cast<double>(in[j + 1]);
        const double slope = (f1 - f0) / (x1 - x0);
        r = slope * (x - x0) + f0;
        if (std::isnan(r)) {
          r = slope * (x - x1) + f1;
          if (std::isnan(r) && f0 == f1) r = f0;
        }
      }
    }
    out[k] = static_cast<T>(r);
  }
}

template void resample_linear<float>(const float*, std::size_t, float*, std::size_t);
template void resample_linear<double>(const double*, std::size_t, double*, std::size_t);

}  // namespace quorvane::avatar

// Quadrature-mirror rule: the analysis high-pass filter of an orthogonal
// wavelet from its low-pass (scaling) filter.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace lumvet {

// g[k] = (-1)^k * h[L - 1 - k]: the low-pass reversed with every odd-indexed
// tap negated. Negation flips the sign bit only, so the rule is exact (and a
// zero tap at an odd index becomes -0). Writes high[0 .. L) for the L taps of
// `low_pass`; `high` holds at least L floats.
inline void write_high_pass(std::span<const float> low_pass, std::span<float> high) {
  const std::size_t length = low_pass.size();
  for (std::size_t k = 0; k < length; ++k) {
    const float tap = low_pass[length - 1 - k];
    high[k] = (k & 1) ? -tap : tap;
  }
}

// The rule as a new list or array of L taps.
std::vector<float> low_pass_to_high(std::span<const float> low_pass);

template <std::size_t L>
std::array<float, L> low_pass_to_high_from_arr(const std::array<float, L>& low_pass) {
  std::array<float, L> high{};
  write_high_pass(low_pass, high);
  return high;
}

}  // namespace lumvet

// 10-tap convolution executor (db5, sym5). Its tap arrays end in two zero slots, which the kernel
// never reads.
#pragma once

#include <array>

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

extern template class FixedTapsExecutor<10, 12>;

class NeonWavelet10TapsF32 final : public FixedTapsExecutor<10, 12> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;

  // Fills the arrays from the 10 low-pass taps: the taps and two zeros, and
  // the quadrature mirror of the taps and two zeros.
  NeonWavelet10TapsF32(BorderMode border, const std::array<float, 10>& taps);
};

}  // namespace lumvet

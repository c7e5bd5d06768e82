// 4-tap convolution executor (db2, sym2).
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

extern template class FixedTapsExecutor<4, 4>;

class NeonWavelet4TapsF32 final : public FixedTapsExecutor<4, 4> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;
};

}  // namespace lumvet

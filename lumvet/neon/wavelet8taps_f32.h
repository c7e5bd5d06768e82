// 8-tap convolution executor (db4, sym4), the one the codec uses.
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

extern template class FixedTapsExecutor<8, 8>;

class NeonWavelet8TapsF32 final : public FixedTapsExecutor<8, 8> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;
};

}  // namespace lumvet

// 12-tap convolution executor (db6, sym6).
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

extern template class FixedTapsExecutor<12, 12>;

class NeonWavelet12TapsF32 final : public FixedTapsExecutor<12, 12> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;
};

}  // namespace lumvet

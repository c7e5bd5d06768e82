// 2-tap convolution executor (Haar, db1). Its tap arrays hold the pair twice (low t0, t1, t0, t1;
// high t1, -t0, t1, -t0); the kernel reads the first pair only.
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

extern template class FixedTapsExecutor<2, 4>;

class NeonWavelet2TapsF32 final : public FixedTapsExecutor<2, 4> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;
};

}  // namespace lumvet

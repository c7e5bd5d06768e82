// 6-tap convolution executor (db3, sym3). Its tap arrays end in two zero slots, which the kernel
// never reads.
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

extern template class FixedTapsExecutor<6, 8>;

class NeonWavelet6TapsF32 final : public FixedTapsExecutor<6, 8> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;
};

}  // namespace lumvet

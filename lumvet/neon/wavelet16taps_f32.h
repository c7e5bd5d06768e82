// 16-tap convolution executor (db8, sym8).
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

extern template class FixedTapsExecutor<16, 16>;

class NeonWavelet16TapsF32 final : public FixedTapsExecutor<16, 16> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;
};

}  // namespace lumvet

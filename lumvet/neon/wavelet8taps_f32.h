// 8-tap convolution executor (db4, sym4), the one the codec uses.
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

class NeonWavelet8TapsF32 final : public FixedTapsExecutor<8, 8> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;

 protected:
  void run_forward(const float* input, std::size_t n, float* approximation, float* details,
                   std::size_t outputs) const override;
  void run_inverse(const float* approximation, const float* details, std::size_t pairs,
                   float* output) const override;
};

}  // namespace lumvet

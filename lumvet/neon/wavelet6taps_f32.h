// 6-tap convolution executor (db3, sym3). Its tap arrays end in two zero slots, which the kernel
// never reads.
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

class NeonWavelet6TapsF32 final : public FixedTapsExecutor<6, 8> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;

 protected:
  void run_forward(const float* input, std::size_t n, float* approximation, float* details,
                   std::size_t outputs) const override;
  void run_inverse(const float* approximation, const float* details, std::size_t pairs,
                   float* output) const override;
};

}  // namespace lumvet

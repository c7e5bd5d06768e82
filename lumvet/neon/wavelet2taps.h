// 2-tap convolution executor (Haar, db1). Its tap arrays hold the pair twice (low t0, t1, t0, t1;
// high t1, -t0, t1, -t0); the kernel reads the first pair only.
#pragma once

#include "lumvet/neon/wavelet_fixed_taps.h"

namespace lumvet {

class NeonWavelet2TapsF32 final : public FixedTapsExecutor<2, 4> {
 public:
  using FixedTapsExecutor::FixedTapsExecutor;

 protected:
  void run_forward(const float* input, std::size_t n, float* approximation, float* details,
                   std::size_t outputs) const override;
  void run_inverse(const float* approximation, const float* details, std::size_t pairs,
                   float* output) const override;
};

}  // namespace lumvet

// 2-tap convolution executor (Haar, db1); both arrays hold their pair twice so one 4-lane vector
// covers two outputs.
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

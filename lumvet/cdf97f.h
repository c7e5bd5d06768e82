// NeonCdf97F32: the CDF 9/7 biorthogonal wavelet by four lifting steps and a
// final scaling, with whole-sample symmetric extension at both ends.
#pragma once

#include <cstddef>

#include "lumvet/lifting_executor.h"

namespace lumvet::neon::cdf97_f32 {

class NeonCdf97F32 final : public LiftingExecutor {
 public:
  // Shortest signal one level accepts.
  static constexpr std::size_t kMinimumLength = 4;
  // That of the generic CDF 9/7 filter pair, 10 (not 9).
  static constexpr std::size_t kFilterLength = 10;

  constexpr NeonCdf97F32() : LiftingExecutor(kMinimumLength, kFilterLength) {}

 private:
  void forward_step(const float* input, std::size_t n, float* approximation,
                    float* details) const override;
  void inverse_step(const float* approximation, const float* details, std::size_t n,
                    float* output) const override;
};

}  // namespace lumvet::neon::cdf97_f32

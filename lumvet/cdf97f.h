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
  // Filter length reported to the codec: one more than the 9-tap analysis
  // low-pass. Stored streams depend on it: a shorter signal is extended to
  // this length before the transform, it enters the level count, and the
  // decoder rebuilds the band lengths from it.
  static constexpr std::size_t kFilterLength = 10;

  constexpr NeonCdf97F32() : LiftingExecutor(kMinimumLength, kFilterLength) {}

 private:
  void forward_step(const float* input, std::size_t n, float* approximation,
                    float* details) const override;
  void forward_step_from(const SampleSource& source, std::size_t n, float* approximation,
                         float* details) const override;
  void inverse_step(const float* approximation, const float* details, std::size_t n,
                    float* output) const override;
  bool inverse_step_from(const SampleSource& approximation, const SampleSource& details,
                         std::size_t n, float* output) const override;
  bool inverse_step_to(const SampleSource& approximation, const SampleSource& details,
                       std::size_t n, const SampleSink& output) const override;
};

}  // namespace lumvet::neon::cdf97_f32

// Cdf53: the CDF 5/3 (LeGall) biorthogonal wavelet by one predict and one
// update lifting step in floating point (no integer rounding, no scaling),
// with whole-sample symmetric extension at both ends.
#pragma once

#include <cstddef>

#include "lumvet/lifting_executor.h"

namespace lumvet::cdf53f {

class Cdf53 final : public LiftingExecutor {
 public:
  // Shortest signal one level accepts.
  static constexpr std::size_t kMinimumLength = 3;
  // Filter length reported to the codec: one more than the 5-tap analysis
  // low-pass. Stored streams depend on it: a shorter signal is extended to
  // this length before the transform, it enters the level count, and the
  // decoder rebuilds the band lengths from it.
  static constexpr std::size_t kFilterLength = 6;

  constexpr Cdf53() : LiftingExecutor(kMinimumLength, kFilterLength) {}

 private:
  // Forward step (cdf53f.cc).
  void forward_step(const float* input, std::size_t n, float* approximation,
                    float* details) const override;
  void forward_step_from(const SampleSource& source, std::size_t n, float* approximation,
                         float* details) const override;
  // Inverse step (cdf53i.cc).
  void inverse_step(const float* approximation, const float* details, std::size_t n,
                    float* output) const override;
  bool inverse_step_from(const SampleSource& approximation, const SampleSource& details,
                         std::size_t n, float* output) const override;
  bool inverse_step_to(const SampleSource& approximation, const SampleSource& details,
                       std::size_t n, const SampleSink& output) const override;
};

}  // namespace lumvet::cdf53f

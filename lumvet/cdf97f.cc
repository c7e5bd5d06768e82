// NeonCdf97F32 forward and inverse steps.
#include "lumvet/cdf97f.h"

#include "lumvet/neon/cdf97_f32.h"

namespace lumvet::neon::cdf97_f32 {

void NeonCdf97F32::forward_step(const float* input, std::size_t n, float* approximation,
                                float* details) const {
  cdf97_forward_f32(input, n, approximation, details);
}

void NeonCdf97F32::forward_step_from(const SampleSource& source, std::size_t n,
                                     float* approximation, float* details) const {
  cdf97_forward_from_f32(source, n, approximation, details);
}

void NeonCdf97F32::inverse_step(const float* approximation, const float* details, std::size_t n,
                                float* output) const {
  cdf97_inverse_f32(approximation, details, n, output);
}

bool NeonCdf97F32::inverse_step_from(const SampleSource& approximation, const SampleSource& details,
                                     std::size_t n, float* output) const {
  cdf97_inverse_from_f32(approximation, details, n, output);
  return true;
}

bool NeonCdf97F32::inverse_step_to(const SampleSource& approximation, const SampleSource& details,
                                   std::size_t n, const SampleSink& output) const {
  cdf97_inverse_to_f32(approximation, details, n, output);
  return true;
}

}  // namespace lumvet::neon::cdf97_f32

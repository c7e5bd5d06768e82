// Cdf53 inverse step.
#include "lumvet/cdf53.h"
#include "lumvet/neon/cdf53_f32.h"

namespace lumvet::cdf53f {

void Cdf53::inverse_step(const float* approximation, const float* details, std::size_t n,
                         float* output) const {
  neon::cdf53_inverse_f32(approximation, details, n, output);
}

bool Cdf53::inverse_step_from(const SampleSource& approximation, const SampleSource& details,
                              std::size_t n, float* output) const {
  neon::cdf53_inverse_from_f32(approximation, details, n, output);
  return true;
}

bool Cdf53::inverse_step_to(const SampleSource& approximation, const SampleSource& details,
                            std::size_t n, const SampleSink& output) const {
  neon::cdf53_inverse_to_f32(approximation, details, n, output);
  return true;
}

}  // namespace lumvet::cdf53f

// Cdf53 forward step.
#include "lumvet/cdf53.h"
#include "lumvet/neon/cdf53_f32.h"

namespace lumvet::cdf53f {

void Cdf53::forward_step(const float* input, std::size_t n, float* approximation,
                         float* details) const {
  neon::cdf53_forward_f32(input, n, approximation, details);
}

void Cdf53::forward_step_from(const SampleSource& source, std::size_t n, float* approximation,
                              float* details) const {
  neon::cdf53_forward_from_f32(source, n, approximation, details);
}

}  // namespace lumvet::cdf53f

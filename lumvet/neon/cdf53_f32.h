// CDF 5/3 lifting kernels on 32-bit floats, dispatched to the best vector
// target of the running CPU. Lengths are validated by the caller.
#pragma once

#include <cstddef>

#include "lumvet/sample_source.h"

namespace lumvet::neon {

// Lifting constants, exact in binary: predict -1/2, update 1/4.
inline constexpr float kCdf53Predict = -0.5f;
inline constexpr float kCdf53Update = 0.25f;

// One forward level of n >= 3 samples into n - n/2 approximation and n/2
// detail coefficients.
void cdf53_forward_f32(const float* input, std::size_t n, float* approximation, float* details);

// The same level with its input pulled from `source`, a chunk at a time.
void cdf53_forward_from_f32(const SampleSource& source, std::size_t n, float* approximation,
                            float* details);

// One inverse level into n >= 3 samples from n - n/2 approximation and n/2
// detail coefficients. Allocates nothing; the inputs are not modified.
void cdf53_inverse_f32(const float* approximation, const float* details, std::size_t n,
                       float* output);

// The same level with both bands pulled a chunk at a time. Sample j of either
// band is pulled before output sample 2j - 2 or any later one is written, so
// the sources may read from the upper half of `output`.
void cdf53_inverse_from_f32(const SampleSource& approximation, const SampleSource& details,
                            std::size_t n, float* output);

// The same with the output pushed to `output` in order, a chunk at a time.
void cdf53_inverse_to_f32(const SampleSource& approximation, const SampleSource& details,
                          std::size_t n, const SampleSink& output);

}  // namespace lumvet::neon

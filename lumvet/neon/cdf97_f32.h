// CDF 9/7 lifting kernels on 32-bit floats, dispatched to the best vector
// target of the running CPU. Lengths are validated by the caller.
#pragma once

#include <cstddef>

#include "lumvet/sample_source.h"

namespace lumvet::neon {

// Lifting constants. Each is the float nearest to the decimal shown; the
// details scale is its own constant, because the float product of K and 1/K
// is not exactly 1.
inline constexpr float kCdf97Alpha = -1.58613431f;   // predict 1
inline constexpr float kCdf97Beta = -0.0529801175f;  // update 1
inline constexpr float kCdf97Gamma = 0.882911086f;   // predict 2
inline constexpr float kCdf97Delta = 0.443506867f;   // update 2
inline constexpr float kCdf97K = 1.14960444f;        // approximation scale
inline constexpr float kCdf97InvK = 0.869864464f;    // details scale

// One forward level of n >= 4 samples into n - n/2 approximation and n/2
// detail coefficients.
void cdf97_forward_f32(const float* input, std::size_t n, float* approximation, float* details);

// The same level with its input pulled from `source`, a chunk at a time.
void cdf97_forward_from_f32(const SampleSource& source, std::size_t n, float* approximation,
                            float* details);

// One inverse level into n >= 4 samples from n - n/2 approximation and n/2
// detail coefficients. Allocates nothing; the inputs are not modified.
void cdf97_inverse_f32(const float* approximation, const float* details, std::size_t n,
                       float* output);

// The same level with both bands pulled a chunk at a time. Sample j of either
// band is pulled before output sample 2j - 2 or any later one is written, so
// the sources may read from the upper half of `output`.
void cdf97_inverse_from_f32(const SampleSource& approximation, const SampleSource& details,
                            std::size_t n, float* output);

// The same with the output pushed to `output` in order, a chunk at a time.
void cdf97_inverse_to_f32(const SampleSource& approximation, const SampleSource& details,
                          std::size_t n, const SampleSink& output);

}  // namespace lumvet::neon

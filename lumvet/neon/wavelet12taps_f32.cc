// Vector steps of NeonWavelet12TapsF32, compiled once per Highway target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/wavelet12taps_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "lumvet/neon/wavelet_conv-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet {
namespace HWY_NAMESPACE {

void Wavelet12TapsForward(BorderMode mode, const float* low, const float* high, const float* x,
                          std::size_t n, float* approximation, float* details,
                          std::size_t outputs) {
  FixedTapsForward<12>(mode, low, high, x, n, approximation, details, outputs);
}

void Wavelet12TapsInverse(const float* approximation, const float* details, std::size_t pairs,
                          const float* low, const float* high, float* output) {
  ReconstructPairs<12>(approximation, details, pairs, low, high, 12, output);
}

}  // namespace HWY_NAMESPACE
}  // namespace lumvet
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "lumvet/neon/wavelet12taps_f32.h"

namespace lumvet {

HWY_EXPORT(Wavelet12TapsForward);
HWY_EXPORT(Wavelet12TapsInverse);

void NeonWavelet12TapsF32::run_forward(const float* input, std::size_t n, float* approximation,
                                       float* details, std::size_t outputs) const {
  HWY_DYNAMIC_DISPATCH(Wavelet12TapsForward)(border_mode(), low_pass().data(), high_pass().data(),
                                             input, n, approximation, details, outputs);
}

void NeonWavelet12TapsF32::run_inverse(const float* approximation, const float* details,
                                       std::size_t pairs, float* output) const {
  HWY_DYNAMIC_DISPATCH(Wavelet12TapsInverse)(approximation, details, pairs, low_pass().data(),
                                             high_pass().data(), output);
}

}  // namespace lumvet
#endif  // HWY_ONCE

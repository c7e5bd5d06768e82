// Vector steps of NeonWavelet8TapsF32, compiled once per Highway target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/wavelet8taps_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "lumvet/neon/wavelet_conv-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet {
namespace HWY_NAMESPACE {

void Wavelet8TapsForward(BorderMode mode, const float* low, const float* high, const float* x,
                         std::size_t n, float* approximation, float* details, std::size_t outputs) {
  FixedTapsForward<8>(mode, low, high, x, n, approximation, details, outputs);
}

void Wavelet8TapsInverse(const float* approximation, const float* details, std::size_t pairs,
                         const float* low, const float* high, float* output) {
  ReconstructPairs<8>(approximation, details, pairs, low, high, 8, output);
}

}  // namespace HWY_NAMESPACE
}  // namespace lumvet
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "lumvet/neon/wavelet8taps_f32.h"

namespace lumvet {

HWY_EXPORT(Wavelet8TapsForward);
HWY_EXPORT(Wavelet8TapsInverse);

void NeonWavelet8TapsF32::run_forward(const float* input, std::size_t n, float* approximation,
                                      float* details, std::size_t outputs) const {
  HWY_DYNAMIC_DISPATCH(Wavelet8TapsForward)(border_mode(), low_pass().data(), high_pass().data(),
                                            input, n, approximation, details, outputs);
}

void NeonWavelet8TapsF32::run_inverse(const float* approximation, const float* details,
                                      std::size_t pairs, float* output) const {
  HWY_DYNAMIC_DISPATCH(Wavelet8TapsInverse)(approximation, details, pairs, low_pass().data(),
                                            high_pass().data(), output);
}

}  // namespace lumvet
#endif  // HWY_ONCE

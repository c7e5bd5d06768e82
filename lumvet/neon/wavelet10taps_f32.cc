// Vector steps of NeonWavelet10TapsF32, compiled once per Highway target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/wavelet10taps_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "lumvet/neon/wavelet_conv-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet {
namespace HWY_NAMESPACE {

void Wavelet10TapsForward(BorderMode mode, const float* low, const float* high, const float* x,
                          std::size_t n, float* approximation, float* details,
                          std::size_t outputs) {
  FixedTapsForward<10>(mode, low, high, x, n, approximation, details, outputs);
}

void Wavelet10TapsInverse(const float* approximation, const float* details, std::size_t pairs,
                          const float* low, const float* high, float* output) {
  ReconstructPairs<10>(approximation, details, pairs, low, high, 10, output);
}

}  // namespace HWY_NAMESPACE
}  // namespace lumvet
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>

#include "lumvet/neon/wavelet10taps_f32.h"
#include "lumvet/util.h"

namespace lumvet {

HWY_EXPORT(Wavelet10TapsForward);
HWY_EXPORT(Wavelet10TapsInverse);

void NeonWavelet10TapsF32::run_forward(const float* input, std::size_t n, float* approximation,
                                       float* details, std::size_t outputs) const {
  HWY_DYNAMIC_DISPATCH(Wavelet10TapsForward)(border_mode(), low_pass().data(), high_pass().data(),
                                             input, n, approximation, details, outputs);
}

void NeonWavelet10TapsF32::run_inverse(const float* approximation, const float* details,
                                       std::size_t pairs, float* output) const {
  HWY_DYNAMIC_DISPATCH(Wavelet10TapsInverse)(approximation, details, pairs, low_pass().data(),
                                             high_pass().data(), output);
}

namespace {

NeonWavelet10TapsF32::Taps padded(const std::array<float, 10>& taps) {
  NeonWavelet10TapsF32::Taps slots{};
  std::copy(taps.begin(), taps.end(), slots.begin());
  return slots;
}

}  // namespace

NeonWavelet10TapsF32::NeonWavelet10TapsF32(BorderMode border, const std::array<float, 10>& taps)
    : FixedTapsExecutor(border, padded(taps), padded(low_pass_to_high_from_arr(taps))) {}

}  // namespace lumvet
#endif  // HWY_ONCE

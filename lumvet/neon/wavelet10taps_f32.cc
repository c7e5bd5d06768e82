// NeonWavelet10TapsF32: its constructor, and its vector steps compiled once per Highway target.
#include "lumvet/neon/wavelet10taps_f32.h"

#define LUMVET_FIXED_TAPS_EXECUTOR NeonWavelet10TapsF32
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/wavelet10taps_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "lumvet/neon/wavelet_fixed_taps-inl.h"

#if HWY_ONCE
#include <algorithm>

#include "lumvet/util.h"

namespace lumvet {
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

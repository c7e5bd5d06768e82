// Body of a fixed-tap kernel's unit, re-included once per Highway target
// through hwy/foreach_target.h: the two vector steps for the tap count of
// LUMVET_FIXED_TAPS_EXECUTOR (the unit's executor class), and, once, their
// dispatch and the one instantiation of that class's FixedTapsExecutor base.
// Every tap count has its own unit, so each step has one table and the base
// one definition.

#ifndef LUMVET_FIXED_TAPS_EXECUTOR
#error "define LUMVET_FIXED_TAPS_EXECUTOR as the unit's executor class first"
#endif

#if defined(LUMVET_NEON_WAVELET_FIXED_TAPS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMVET_NEON_WAVELET_FIXED_TAPS_INL_H_
#undef LUMVET_NEON_WAVELET_FIXED_TAPS_INL_H_
#else
#define LUMVET_NEON_WAVELET_FIXED_TAPS_INL_H_
#endif

#include <cstddef>

#include "hwy/highway.h"
#include "lumvet/neon/wavelet_conv-inl.h"
#include "lumvet/neon/wavelet_fixed_taps.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet {
namespace HWY_NAMESPACE {
namespace {

constexpr std::size_t kFixedTaps = LUMVET_FIXED_TAPS_EXECUTOR::kFilterLength;

void FixedTapsForwardStep(BorderMode mode, const float* low, const float* high, const float* x,
                          std::size_t n, float* approximation, float* details,
                          std::size_t outputs) {
  FixedTapsForward<kFixedTaps>(mode, low, high, x, n, approximation, details, outputs);
}

void FixedTapsForwardFromStep(BorderMode mode, const float* low, const float* high,
                              const SampleSource& source, std::size_t n, float* approximation,
                              float* details, std::size_t outputs) {
  FixedTapsForwardFrom<kFixedTaps>(mode, low, high, source, n, approximation, details, outputs);
}

void FixedTapsInverseStep(const float* approximation, const float* details, std::size_t pairs,
                          const float* low, const float* high, float* output) {
  ReconstructPairs<kFixedTaps>(approximation, details, pairs, low, high, kFixedTaps, output);
}

void FixedTapsInversePulledStep(const SampleSource& approximation, const SampleSource& details,
                                std::size_t pairs, const float* low, const float* high,
                                float* output, const SampleSink* sink) {
  FixedTapsInversePulled<kFixedTaps>(approximation, details, pairs, low, high, output, sink);
}

}  // namespace
}  // namespace HWY_NAMESPACE
}  // namespace lumvet
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumvet {
namespace {

HWY_EXPORT(FixedTapsForwardStep);
HWY_EXPORT(FixedTapsForwardFromStep);
HWY_EXPORT(FixedTapsInverseStep);
HWY_EXPORT(FixedTapsInversePulledStep);

}  // namespace

// Written for any instance but instantiated only for this unit's, whose steps
// the tables above hold.
template <std::size_t kTaps, std::size_t kSlots>
void FixedTapsExecutor<kTaps, kSlots>::run_forward(const float* input, std::size_t n,
                                                   float* approximation, float* details,
                                                   std::size_t outputs) const {
  static_assert(kTaps == LUMVET_FIXED_TAPS_EXECUTOR::kFilterLength);
  HWY_DYNAMIC_DISPATCH(FixedTapsForwardStep)(border_, low_pass_.data(), high_pass_.data(), input, n,
                                             approximation, details, outputs);
}

template <std::size_t kTaps, std::size_t kSlots>
void FixedTapsExecutor<kTaps, kSlots>::run_forward_from(const SampleSource& source, std::size_t n,
                                                        float* approximation, float* details,
                                                        std::size_t outputs) const {
  static_assert(kTaps == LUMVET_FIXED_TAPS_EXECUTOR::kFilterLength);
  HWY_DYNAMIC_DISPATCH(FixedTapsForwardFromStep)(border_, low_pass_.data(), high_pass_.data(),
                                                 source, n, approximation, details, outputs);
}

template <std::size_t kTaps, std::size_t kSlots>
void FixedTapsExecutor<kTaps, kSlots>::run_inverse(const float* approximation, const float* details,
                                                   std::size_t pairs, float* output) const {
  static_assert(kTaps == LUMVET_FIXED_TAPS_EXECUTOR::kFilterLength);
  HWY_DYNAMIC_DISPATCH(FixedTapsInverseStep)(approximation, details, pairs, low_pass_.data(),
                                             high_pass_.data(), output);
}

template <std::size_t kTaps, std::size_t kSlots>
void FixedTapsExecutor<kTaps, kSlots>::run_inverse_pulled(const SampleSource& approximation,
                                                          const SampleSource& details,
                                                          std::size_t pairs, float* output,
                                                          const SampleSink* sink) const {
  static_assert(kTaps == LUMVET_FIXED_TAPS_EXECUTOR::kFilterLength);
  HWY_DYNAMIC_DISPATCH(FixedTapsInversePulledStep)(approximation, details, pairs, low_pass_.data(),
                                                   high_pass_.data(), output, sink);
}

template class FixedTapsExecutor<LUMVET_FIXED_TAPS_EXECUTOR::kFilterLength,
                                 LUMVET_FIXED_TAPS_EXECUTOR::kTapSlots>;

}  // namespace lumvet
#endif  // HWY_ONCE

#endif  // include guard

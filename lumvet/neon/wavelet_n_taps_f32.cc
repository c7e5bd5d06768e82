// NeonWaveletNTapsF32 and its vector steps, compiled once per Highway target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lumvet/neon/wavelet_n_taps_f32.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "lumvet/neon/wavelet_conv-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet {
namespace HWY_NAMESPACE {

// The arena holds the extended signal, so every output reads it directly.
void WaveletNTapsForward(const float* arena, std::size_t outputs, const float* low,
                         const float* high, std::size_t taps, float* approximation,
                         float* details) {
  CorrelateEvenPositions<0>(arena, outputs, low, high, taps, approximation, details);
}

void WaveletNTapsInverse(const float* approximation, const float* details, std::size_t pairs,
                         const float* low, const float* high, std::size_t taps, float* output) {
  ReconstructPairs<0>(approximation, details, pairs, low, high, taps, output);
}

}  // namespace HWY_NAMESPACE
}  // namespace lumvet
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <cstdlib>
#include <new>
#include <variant>

#include "lumvet/conv_sizes.h"
#include "lumvet/filter_padding.h"
#include "lumvet/neon/wavelet_n_taps_f32.h"
#include "lumvet/util.h"

namespace lumvet {

HWY_EXPORT(WaveletNTapsForward);
HWY_EXPORT(WaveletNTapsInverse);

NeonWaveletNTapsF32::NeonWaveletNTapsF32(BorderMode border, std::span<const float> low_pass)
    : low_pass_(low_pass.begin(), low_pass.end()),
      high_pass_(low_pass_to_high(low_pass)),
      filter_length_(low_pass.size()),
      border_(border) {}

std::size_t NeonWaveletNTapsF32::required_scratch_size(std::size_t input_length) const {
  const std::size_t length = filter_length_;
  return length - 2 + ((input_length + length - 1) & ~std::size_t{1});
}

DwtSize NeonWaveletNTapsF32::dwt_size(std::size_t input_length) const {
  const std::size_t half = conv::band_length(input_length, filter_length_);
  return DwtSize{half, half};
}

std::size_t NeonWaveletNTapsF32::idwt_size(std::size_t approximation_length, std::size_t) const {
  return conv::output_length(approximation_length, filter_length_);
}

Status NeonWaveletNTapsF32::check_forward(std::size_t n, std::size_t approximation_length,
                                          std::size_t details_length) const {
  const std::size_t length = filter_length_;
  // The size rules and the even/odd split of the steps need an even, nonzero
  // tap count (every orthogonal wavelet has one).
  if (length == 0 || length % 2 != 0) return lumvet_error(LumvetErrorKind::ZeroOrOddWavelet);
  return conv::check_forward(length, n, approximation_length, details_length);
}

Status NeonWaveletNTapsF32::execute_forward(std::span<const float> input,
                                            std::span<float> approximation,
                                            std::span<float> details) const {
  if (auto checked = check_forward(input.size(), approximation.size(), details.size()); !checked) {
    return checked;
  }
  const std::size_t scratch_length = required_scratch_size(input.size());
  std::vector<float> scratch;
  try {
    scratch.assign(scratch_length, 0.0f);
  } catch (const std::bad_alloc&) {
    return lumvet_error(LumvetErrorKind::CannotAllocate, scratch_length * sizeof(float));
  }
  return execute_forward_with_scratch(input, approximation, details, scratch);
}

Status NeonWaveletNTapsF32::execute_forward_with_scratch(std::span<const float> input,
                                                         std::span<float> approximation,
                                                         std::span<float> details,
                                                         std::span<float> scratch) const {
  const std::size_t n = input.size();
  if (auto checked = check_forward(n, approximation.size(), details.size()); !checked) {
    return checked;
  }
  const std::size_t arena_length = required_scratch_size(n);
  if (scratch.size() < arena_length) {
    return lumvet_error(LumvetErrorKind::ScratchSizeMismatch, arena_length, scratch.size());
  }

  // Left pad L - 2; right pad L - 2 for even n, L - 1 for odd n.
  const std::size_t left = (arena_length - n) / 2;
  const std::size_t right = arena_length - n - left;
  const std::span<float> arena = scratch.first(arena_length);
  const auto writer =
      filter_padding::MakeArenaFactoryProvider<float>::make_arena_writer_1d_executor();
  if (auto written = writer(input, arena, left, right, border_); !written) {
    if (const auto* error = std::get_if<LumvetError>(&written.error())) {
      return std::unexpected(*error);
    }
    // The pads are derived from the arena length just above, so the writer
    // cannot find them inconsistent; reaching this is a bug in this file.
    std::abort();
  }

  HWY_DYNAMIC_DISPATCH(WaveletNTapsForward)(arena.data(), approximation.size(), low_pass_.data(),
                                            high_pass_.data(), filter_length_, approximation.data(),
                                            details.data());
  return {};
}

Status NeonWaveletNTapsF32::execute_inverse(std::span<const float> approximation,
                                            std::span<const float> details,
                                            std::span<float> output) const {
  const std::size_t length = filter_length_;
  if (length == 0 || length % 2 != 0) return lumvet_error(LumvetErrorKind::ZeroOrOddWavelet);
  if (auto checked =
          conv::check_inverse(length, approximation.size(), details.size(), output.size());
      !checked) {
    return checked;
  }
  HWY_DYNAMIC_DISPATCH(WaveletNTapsInverse)(approximation.data(), details.data(), output.size() / 2,
                                            low_pass_.data(), high_pass_.data(), length,
                                            output.data());
  return {};
}

}  // namespace lumvet
#endif  // HWY_ONCE

#include "lumvet/cdf97f.h"

#include <algorithm>

#include "lumvet/level_driver.h"
#include "lumvet/neon/cdf97_f32.h"

namespace lumvet::neon::cdf97_f32 {

namespace {

using K = LumvetErrorKind;

constexpr LevelDriverRules kRules{LevelDriverKind::Lifting, NeonCdf97F32::kMinimumLength};

}  // namespace

Status NeonCdf97F32::execute_forward(std::span<const float> input, std::span<float> approximation,
                                     std::span<float> details) const {
  const std::size_t n = input.size();
  if (n < kMinimumLength) return lumvet_error(K::InputTooShort, n, kMinimumLength);
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  if (approximation.size() != na) {
    return lumvet_error(K::ApproximationSizeMismatch, approximation.size(), na);
  }
  if (details.size() != nd) return lumvet_error(K::DetailsSizeMismatch, details.size(), nd);
  cdf97_forward_f32(input.data(), n, approximation.data(), details.data());
  return {};
}

Status NeonCdf97F32::execute_forward_with_scratch(std::span<const float> input,
                                                  std::span<float> approximation,
                                                  std::span<float> details,
                                                  std::span<float>) const {
  return execute_forward(input, approximation, details);
}

DwtSize NeonCdf97F32::dwt_size(std::size_t input_length) const {
  return {std::max<std::size_t>(input_length - input_length / 2, 2),
          std::max<std::size_t>(input_length / 2, 2)};
}

Status NeonCdf97F32::execute_inverse(std::span<const float> approximation,
                                     std::span<const float> details,
                                     std::span<float> output) const {
  const std::size_t na = approximation.size();
  const std::size_t nd = details.size();
  const std::size_t n = output.size();
  if (na + nd != n) return lumvet_error(K::OutputSizeMismatch, na + nd, n);
  const std::size_t want_a = std::max<std::size_t>(n - n / 2, 2);
  if (na != want_a) return lumvet_error(K::ApproximationSizeMismatch, na, want_a);
  const std::size_t want_d = std::max<std::size_t>(n / 2, 2);
  if (nd != want_d) return lumvet_error(K::DetailsSizeMismatch, nd, want_d);

  cdf97_inverse_f32(approximation.data(), details.data(), n, output.data());
  return {};
}

std::size_t NeonCdf97F32::idwt_size(std::size_t approximation_length,
                                    std::size_t details_length) const {
  return std::max<std::size_t>(approximation_length + details_length, 4);
}

std::expected<Dwt, LumvetError> NeonCdf97F32::dwt(std::span<const float> input,
                                                  std::size_t level) const {
  return drive_dwt(*this, kRules, input, level);
}

std::expected<MultiDwt, LumvetError> NeonCdf97F32::multi_dwt(std::span<const float> input,
                                                             std::size_t levels) const {
  return drive_multi_dwt(*this, kRules, input, levels);
}

std::expected<std::vector<float>, LumvetError> NeonCdf97F32::idwt(const DwtRef& input) const {
  return drive_idwt(*this, kRules, input);
}

std::expected<std::vector<float>, LumvetError> NeonCdf97F32::multi_idwt(
    const MultiDwtRef& input) const {
  return drive_multi_idwt(*this, kRules, input);
}

}  // namespace lumvet::neon::cdf97_f32

// Cdf53 forward step and its decomposition drivers.
#include <algorithm>

#include "lumvet/cdf53.h"
#include "lumvet/level_driver.h"
#include "lumvet/neon/cdf53_f32.h"

namespace lumvet::cdf53f {

namespace {
using K = LumvetErrorKind;
constexpr LevelDriverRules kRules{LevelDriverKind::Lifting, Cdf53::kMinimumLength};
}  // namespace

Status Cdf53::execute_forward(std::span<const float> input, std::span<float> approximation,
                              std::span<float> details) const {
  const std::size_t n = input.size();
  if (n < kMinimumLength) return lumvet_error(K::InputTooShort, n, kMinimumLength);
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  if (approximation.size() != na) {
    return lumvet_error(K::ApproximationSizeMismatch, approximation.size(), na);
  }
  if (details.size() != nd) return lumvet_error(K::DetailsSizeMismatch, details.size(), nd);
  neon::cdf53_forward_f32(input.data(), n, approximation.data(), details.data());
  return {};
}

Status Cdf53::execute_forward_with_scratch(std::span<const float> input,
                                           std::span<float> approximation, std::span<float> details,
                                           std::span<float>) const {
  return execute_forward(input, approximation, details);
}

DwtSize Cdf53::dwt_size(std::size_t input_length) const {
  return {std::max<std::size_t>(input_length - input_length / 2, 2),
          std::max<std::size_t>(input_length / 2, 1)};
}

std::expected<Dwt, LumvetError> Cdf53::dwt(std::span<const float> input, std::size_t level) const {
  return drive_dwt(*this, kRules, input, level);
}

std::expected<MultiDwt, LumvetError> Cdf53::multi_dwt(std::span<const float> input,
                                                      std::size_t levels) const {
  return drive_multi_dwt(*this, kRules, input, levels);
}

}  // namespace lumvet::cdf53f

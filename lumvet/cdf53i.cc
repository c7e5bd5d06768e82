// Cdf53 inverse step and its reconstruction drivers.
#include <algorithm>

#include "lumvet/cdf53.h"
#include "lumvet/level_driver.h"
#include "lumvet/neon/cdf53_f32.h"

namespace lumvet::cdf53f {

namespace {
using K = LumvetErrorKind;
constexpr LevelDriverRules kRules{LevelDriverKind::Lifting, Cdf53::kMinimumLength};
}  // namespace

Status Cdf53::execute_inverse(std::span<const float> approximation, std::span<const float> details,
                              std::span<float> output) const {
  const std::size_t na = approximation.size();
  const std::size_t nd = details.size();
  const std::size_t n = output.size();
  if (na + nd != n) return lumvet_error(K::OutputSizeMismatch, na + nd, n);
  const std::size_t want_a = std::max<std::size_t>(n - n / 2, 2);
  if (na != want_a) return lumvet_error(K::ApproximationSizeMismatch, na, want_a);
  const std::size_t want_d = std::max<std::size_t>(n / 2, 1);
  if (nd != want_d) return lumvet_error(K::DetailsSizeMismatch, nd, want_d);

  neon::cdf53_inverse_f32(approximation.data(), details.data(), n, output.data());
  return {};
}

std::size_t Cdf53::idwt_size(std::size_t approximation_length, std::size_t details_length) const {
  return std::max<std::size_t>(approximation_length + details_length, 3);
}

std::expected<std::vector<float>, LumvetError> Cdf53::idwt(const DwtRef& input) const {
  return drive_idwt(*this, kRules, input);
}

std::expected<std::vector<float>, LumvetError> Cdf53::multi_idwt(const MultiDwtRef& input) const {
  return drive_multi_idwt(*this, kRules, input);
}

}  // namespace lumvet::cdf53f

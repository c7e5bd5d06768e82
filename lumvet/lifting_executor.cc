#include "lumvet/lifting_executor.h"

#include <algorithm>

#include "lumvet/level_driver.h"

namespace lumvet {

namespace {
using K = LumvetErrorKind;
}  // namespace

Status LiftingExecutor::check_forward(std::size_t n, std::span<float> approximation,
                                      std::span<float> details) const {
  if (n < minimum_length_) return lumvet_error(K::InputTooShort, n, minimum_length_);
  const std::size_t na = n - n / 2;
  const std::size_t nd = n / 2;
  if (approximation.size() != na) {
    return lumvet_error(K::ApproximationSizeMismatch, approximation.size(), na);
  }
  if (details.size() != nd) return lumvet_error(K::DetailsSizeMismatch, details.size(), nd);
  return {};
}

Status LiftingExecutor::execute_forward(std::span<const float> input,
                                        std::span<float> approximation,
                                        std::span<float> details) const {
  if (auto status = check_forward(input.size(), approximation, details); !status) return status;
  forward_step(input.data(), input.size(), approximation.data(), details.data());
  return {};
}

Status LiftingExecutor::execute_forward_from(const SampleSource& source, std::size_t input_length,
                                             std::span<float> approximation,
                                             std::span<float> details) const {
  if (auto status = check_forward(input_length, approximation, details); !status) return status;
  forward_step_from(source, input_length, approximation.data(), details.data());
  return {};
}

Status LiftingExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                     std::span<float> approximation,
                                                     std::span<float> details,
                                                     std::span<float>) const {
  return execute_forward(input, approximation, details);
}

DwtSize LiftingExecutor::dwt_size(std::size_t input_length) const {
  const std::size_t m = minimum_length_;
  return {std::max(input_length - input_length / 2, m - m / 2), std::max(input_length / 2, m / 2)};
}

Status LiftingExecutor::check_inverse(std::size_t na, std::size_t nd, std::size_t n) const {
  if (na + nd != n) return lumvet_error(K::OutputSizeMismatch, na + nd, n);
  const DwtSize want = dwt_size(n);
  if (na != want.approximation_length) {
    return lumvet_error(K::ApproximationSizeMismatch, na, want.approximation_length);
  }
  if (nd != want.details_length)
    return lumvet_error(K::DetailsSizeMismatch, nd, want.details_length);
  return {};
}

Status LiftingExecutor::execute_inverse(std::span<const float> approximation,
                                        std::span<const float> details,
                                        std::span<float> output) const {
  if (auto status = check_inverse(approximation.size(), details.size(), output.size()); !status) {
    return status;
  }
  inverse_step(approximation.data(), details.data(), output.size(), output.data());
  return {};
}

Status LiftingExecutor::execute_inverse_from(const SampleSource& approximation,
                                             std::size_t approximation_length,
                                             const SampleSource& details,
                                             std::size_t details_length,
                                             std::span<float> output) const {
  if (auto status = check_inverse(approximation_length, details_length, output.size()); !status) {
    return status;
  }
  if (inverse_step_from(approximation, details, output.size(), output.data())) return {};
  return DwtInverseExecutor::execute_inverse_from(approximation, approximation_length, details,
                                                  details_length, output);
}

Status LiftingExecutor::execute_inverse_to(const SampleSource& approximation,
                                           std::size_t approximation_length,
                                           const SampleSource& details, std::size_t details_length,
                                           const SampleSink& output) const {
  const std::size_t n = idwt_size(approximation_length, details_length);
  if (auto status = check_inverse(approximation_length, details_length, n); !status) {
    return status;
  }
  if (inverse_step_to(approximation, details, n, output)) return {};
  return DwtInverseExecutor::execute_inverse_to(approximation, approximation_length, details,
                                                details_length, output);
}

std::size_t LiftingExecutor::idwt_size(std::size_t approximation_length,
                                       std::size_t details_length) const {
  return std::max(approximation_length + details_length, minimum_length_);
}

std::expected<Dwt, LumvetError> LiftingExecutor::dwt(std::span<const float> input,
                                                     std::size_t level) const {
  return drive_dwt(*this, {LevelDriverKind::Lifting, minimum_length_}, input, level);
}

std::expected<MultiDwt, LumvetError> LiftingExecutor::multi_dwt(std::span<const float> input,
                                                                std::size_t levels) const {
  return drive_multi_dwt(*this, {LevelDriverKind::Lifting, minimum_length_}, input, levels);
}

std::expected<std::vector<float>, LumvetError> LiftingExecutor::idwt(const DwtRef& input) const {
  return drive_idwt(*this, {LevelDriverKind::Lifting, minimum_length_}, input);
}

std::expected<std::vector<float>, LumvetError> LiftingExecutor::multi_idwt(
    const MultiDwtRef& input) const {
  return drive_multi_idwt(*this, {LevelDriverKind::Lifting, minimum_length_}, input);
}

std::expected<std::vector<float>, LumvetError> LiftingExecutor::multi_idwt_from(
    const MultiDwtSource& input) const {
  return drive_multi_idwt_from(*this, {LevelDriverKind::Lifting, minimum_length_}, input);
}

std::size_t LiftingExecutor::multi_idwt_length(const MultiDwtSource& input) const {
  return drive_multi_idwt_length(*this, {LevelDriverKind::Lifting, minimum_length_}, input);
}

Status LiftingExecutor::multi_idwt_from_into(const MultiDwtSource& input,
                                             std::span<float> output) const {
  return drive_multi_idwt_into(*this, {LevelDriverKind::Lifting, minimum_length_}, input, output);
}

Status LiftingExecutor::multi_idwt_from_to(const MultiDwtSource& input, std::span<float> work,
                                           const SampleSink& output) const {
  return drive_multi_idwt_to(*this, {LevelDriverKind::Lifting, minimum_length_}, input, work,
                             output);
}

std::size_t LiftingExecutor::multi_idwt_work_length(const MultiDwtSource& input) const {
  return drive_multi_idwt_work_length(*this, {LevelDriverKind::Lifting, minimum_length_}, input);
}

}  // namespace lumvet

#include "lumvet/completed.h"

#include <utility>

#include "lumvet/level_driver.h"

namespace lumvet {

CompletedDwtExecutor::CompletedDwtExecutor(IncompleteDwtExecutorHandle inner)
    : inner_(std::move(inner)), filter_length_(inner_->filter_length()) {}

Status CompletedDwtExecutor::execute_forward(std::span<const float> input,
                                             std::span<float> approximation,
                                             std::span<float> details) const {
  return inner_->execute_forward(input, approximation, details);
}

Status CompletedDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                          std::span<float> approximation,
                                                          std::span<float> details,
                                                          std::span<float> scratch) const {
  return inner_->execute_forward_with_scratch(input, approximation, details, scratch);
}

Status CompletedDwtExecutor::execute_forward_from(const SampleSource& source,
                                                  std::size_t input_length,
                                                  std::span<float> approximation,
                                                  std::span<float> details) const {
  return inner_->execute_forward_from(source, input_length, approximation, details);
}

std::size_t CompletedDwtExecutor::required_scratch_size(std::size_t input_length) const {
  return inner_->required_scratch_size(input_length);
}

DwtSize CompletedDwtExecutor::dwt_size(std::size_t input_length) const {
  return inner_->dwt_size(input_length);
}

Status CompletedDwtExecutor::execute_inverse(std::span<const float> approximation,
                                             std::span<const float> details,
                                             std::span<float> output) const {
  return inner_->execute_inverse(approximation, details, output);
}

std::size_t CompletedDwtExecutor::idwt_size(std::size_t approximation_length,
                                            std::size_t details_length) const {
  return inner_->idwt_size(approximation_length, details_length);
}

Status CompletedDwtExecutor::execute_inverse_to(const SampleSource& approximation,
                                                std::size_t approximation_length,
                                                const SampleSource& details,
                                                std::size_t details_length,
                                                const SampleSink& output) const {
  return inner_->execute_inverse_to(approximation, approximation_length, details, details_length,
                                    output);
}

namespace {
// A level is refused when the filter is longer than its input.
LevelDriverRules rules_for(std::size_t filter_length) {
  return {LevelDriverKind::Convolution, filter_length};
}
}  // namespace

std::expected<Dwt, LumvetError> CompletedDwtExecutor::dwt(std::span<const float> input,
                                                          std::size_t level) const {
  return drive_dwt(*inner_, rules_for(filter_length_), input, level);
}

std::expected<MultiDwt, LumvetError> CompletedDwtExecutor::multi_dwt(std::span<const float> input,
                                                                     std::size_t levels) const {
  return drive_multi_dwt(*inner_, rules_for(filter_length_), input, levels);
}

std::expected<std::vector<float>, LumvetError> CompletedDwtExecutor::idwt(
    const DwtRef& input) const {
  return drive_idwt(*inner_, rules_for(filter_length_), input);
}

std::expected<std::vector<float>, LumvetError> CompletedDwtExecutor::multi_idwt(
    const MultiDwtRef& input) const {
  return drive_multi_idwt(*inner_, rules_for(filter_length_), input);
}

std::expected<std::vector<float>, LumvetError> CompletedDwtExecutor::multi_idwt_from(
    const MultiDwtSource& input) const {
  return drive_multi_idwt_from(*inner_, rules_for(filter_length_), input);
}

std::size_t CompletedDwtExecutor::multi_idwt_length(const MultiDwtSource& input) const {
  return drive_multi_idwt_length(*inner_, rules_for(filter_length_), input);
}

Status CompletedDwtExecutor::multi_idwt_from_into(const MultiDwtSource& input,
                                                  std::span<float> output) const {
  return drive_multi_idwt_into(*inner_, rules_for(filter_length_), input, output);
}

Status CompletedDwtExecutor::multi_idwt_from_to(const MultiDwtSource& input, std::span<float> work,
                                                const SampleSink& output) const {
  return drive_multi_idwt_to(*inner_, rules_for(filter_length_), input, work, output);
}

std::size_t CompletedDwtExecutor::multi_idwt_work_length(const MultiDwtSource& input) const {
  return drive_multi_idwt_work_length(*inner_, rules_for(filter_length_), input);
}

}  // namespace lumvet

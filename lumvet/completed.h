// CompletedDwtExecutor: gives any one-level transform (the convolution
// kernels) the multi-level operations of a DwtExecutor.
#pragma once

#include <cstddef>

#include "lumvet/lumvet.h"

namespace lumvet {

class CompletedDwtExecutor final : public DwtExecutor {
 public:
  // `inner` must not be null; its filter length is read once, here.
  explicit CompletedDwtExecutor(IncompleteDwtExecutorHandle inner);

  Status execute_forward(std::span<const float> input, std::span<float> approximation,
                         std::span<float> details) const override;
  Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                      std::span<float> details,
                                      std::span<float> scratch) const override;
  Status execute_forward_from(const SampleSource& source, std::size_t input_length,
                              std::span<float> approximation,
                              std::span<float> details) const override;
  std::size_t required_scratch_size(std::size_t input_length) const override;
  DwtSize dwt_size(std::size_t input_length) const override;

  Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                         std::span<float> output) const override;
  std::size_t idwt_size(std::size_t approximation_length,
                        std::size_t details_length) const override;
  Status execute_inverse_to(const SampleSource& approximation, std::size_t approximation_length,
                            const SampleSource& details, std::size_t details_length,
                            const SampleSink& output) const override;

  std::size_t filter_length() const override { return filter_length_; }

  std::expected<Dwt, LumvetError> dwt(std::span<const float> input,
                                      std::size_t level) const override;
  std::expected<MultiDwt, LumvetError> multi_dwt(std::span<const float> input,
                                                 std::size_t levels) const override;
  std::expected<std::vector<float>, LumvetError> idwt(const DwtRef& input) const override;
  std::expected<std::vector<float>, LumvetError> multi_idwt(
      const MultiDwtRef& input) const override;
  std::expected<std::vector<float>, LumvetError> multi_idwt_from(
      const MultiDwtSource& input) const override;
  std::size_t multi_idwt_length(const MultiDwtSource& input) const override;
  Status multi_idwt_from_into(const MultiDwtSource& input, std::span<float> output) const override;
  Status multi_idwt_from_to(const MultiDwtSource& input, std::span<float> work,
                            const SampleSink& output) const override;
  std::size_t multi_idwt_work_length(const MultiDwtSource& input) const override;

 private:
  IncompleteDwtExecutorHandle inner_;
  std::size_t filter_length_;
};

}  // namespace lumvet

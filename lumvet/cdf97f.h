// NeonCdf97F32: the CDF 9/7 biorthogonal wavelet by four lifting steps and a
// final scaling, with whole-sample symmetric extension at both ends.
#pragma once

#include <cstddef>

#include "lumvet/lumvet.h"

namespace lumvet::neon::cdf97_f32 {

class NeonCdf97F32 final : public DwtExecutor {
 public:
  // Shortest signal one level accepts.
  static constexpr std::size_t kMinimumLength = 4;

  Status execute_forward(std::span<const float> input, std::span<float> approximation,
                         std::span<float> details) const override;
  // The scratch buffer is neither examined nor touched.
  Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                      std::span<float> details,
                                      std::span<float> scratch) const override;
  std::size_t required_scratch_size(std::size_t) const override { return 0; }
  DwtSize dwt_size(std::size_t input_length) const override;

  Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                         std::span<float> output) const override;
  std::size_t idwt_size(std::size_t approximation_length,
                        std::size_t details_length) const override;

  // That of the generic CDF 9/7 filter pair, 10 (not 9).
  std::size_t filter_length() const override { return 10; }

  std::expected<Dwt, LumvetError> dwt(std::span<const float> input,
                                      std::size_t level) const override;
  std::expected<MultiDwt, LumvetError> multi_dwt(std::span<const float> input,
                                                 std::size_t levels) const override;
  std::expected<std::vector<float>, LumvetError> idwt(const DwtRef& input) const override;
  std::expected<std::vector<float>, LumvetError> multi_idwt(
      const MultiDwtRef& input) const override;
};

}  // namespace lumvet::neon::cdf97_f32

// Generic convolution executor for an orthogonal wavelet of any even number
// of taps: the signal is extended into a scratch arena by the border rule,
// then correlated with the low- and high-pass taps at every second position.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lumvet/lumvet.h"

namespace lumvet {

class NeonWaveletNTapsF32 final : public IncompleteDwtExecutor {
 public:
  // Copies the low-pass taps and derives the high-pass by the quadrature
  // mirror rule. A zero or odd tap count is accepted here and refused by
  // every transform step with ZeroOrOddWavelet.
  NeonWaveletNTapsF32(BorderMode border, std::span<const float> low_pass);

  const std::vector<float>& low_pass() const { return low_pass_; }
  const std::vector<float>& high_pass() const { return high_pass_; }
  BorderMode border_mode() const { return border_; }

  Status execute_forward(std::span<const float> input, std::span<float> approximation,
                         std::span<float> details) const override;
  Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                      std::span<float> details,
                                      std::span<float> scratch) const override;
  // L - 2 + (n + L - 1 rounded down to even): the arena length.
  std::size_t required_scratch_size(std::size_t input_length) const override;
  DwtSize dwt_size(std::size_t input_length) const override;

  Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                         std::span<float> output) const override;
  // 2a - L + 2, or 0 for bands too short to cover one output pair.
  std::size_t idwt_size(std::size_t approximation_length,
                        std::size_t details_length) const override;

  std::size_t filter_length() const override { return filter_length_; }

 private:
  Status check_forward(std::size_t n, std::size_t approximation_length,
                       std::size_t details_length) const;

  std::vector<float> low_pass_;
  std::vector<float> high_pass_;
  std::size_t filter_length_;
  BorderMode border_;
};

}  // namespace lumvet

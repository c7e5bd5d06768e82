// LiftingExecutor: what the two lifting executors (Cdf53, NeonCdf97F32) have
// in common. Both split n samples into n - n/2 approximation and n/2 detail
// coefficients with whole-sample symmetric extension, need no scratch, and
// reach several levels through the lifting rules of the level driver; they
// differ only in their kernels, their shortest signal and their filter length.
#pragma once

#include <cstddef>

#include "lumvet/lumvet.h"

namespace lumvet {

class LiftingExecutor : public DwtExecutor {
 public:
  // Checks the input length, then the approximation, then the details length,
  // and runs forward_step only when all hold.
  Status execute_forward(std::span<const float> input, std::span<float> approximation,
                         std::span<float> details) const final;
  // The scratch buffer is neither examined nor touched.
  Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                      std::span<float> details,
                                      std::span<float> scratch) const final;
  // Checks as execute_forward does, then runs forward_step_from.
  Status execute_forward_from(const SampleSource& source, std::size_t input_length,
                              std::span<float> approximation, std::span<float> details) const final;
  std::size_t required_scratch_size(std::size_t) const final { return 0; }
  // A signal shorter than the minimum gets the bands of the minimum length.
  DwtSize dwt_size(std::size_t input_length) const final;

  // Checks the sum of the band lengths against the output, then each band
  // against dwt_size(output length), and runs inverse_step only when all hold.
  Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                         std::span<float> output) const final;
  std::size_t idwt_size(std::size_t approximation_length, std::size_t details_length) const final;
  // Checks as execute_inverse does, then runs inverse_step_from.
  Status execute_inverse_from(const SampleSource& approximation, std::size_t approximation_length,
                              const SampleSource& details, std::size_t details_length,
                              std::span<float> output) const final;
  // Checks as execute_inverse does, then runs inverse_step_to.
  Status execute_inverse_to(const SampleSource& approximation, std::size_t approximation_length,
                            const SampleSource& details, std::size_t details_length,
                            const SampleSink& output) const final;

  std::size_t filter_length() const final { return filter_length_; }

  std::expected<Dwt, LumvetError> dwt(std::span<const float> input, std::size_t level) const final;
  std::expected<MultiDwt, LumvetError> multi_dwt(std::span<const float> input,
                                                 std::size_t levels) const final;
  std::expected<std::vector<float>, LumvetError> idwt(const DwtRef& input) const final;
  std::expected<std::vector<float>, LumvetError> multi_idwt(const MultiDwtRef& input) const final;
  std::expected<std::vector<float>, LumvetError> multi_idwt_from(
      const MultiDwtSource& input) const final;
  std::size_t multi_idwt_length(const MultiDwtSource& input) const final;
  Status multi_idwt_from_into(const MultiDwtSource& input, std::span<float> output) const final;
  Status multi_idwt_from_to(const MultiDwtSource& input, std::span<float> work,
                            const SampleSink& output) const final;
  std::size_t multi_idwt_work_length(const MultiDwtSource& input) const final;

 protected:
  // `minimum_length`: shortest signal one level accepts. `filter_length`: the
  // value filter_length() reports.
  constexpr LiftingExecutor(std::size_t minimum_length, std::size_t filter_length)
      : minimum_length_(minimum_length), filter_length_(filter_length) {}

 private:
  // The kernels, called with n >= the minimum length and bands of n - n/2
  // approximation and n/2 detail coefficients.
  virtual void forward_step(const float* input, std::size_t n, float* approximation,
                            float* details) const = 0;
  virtual void forward_step_from(const SampleSource& source, std::size_t n, float* approximation,
                                 float* details) const = 0;
  virtual void inverse_step(const float* approximation, const float* details, std::size_t n,
                            float* output) const = 0;
  // The inverse kernel with both bands pulled; false when the kernel has no
  // such form, and the bands are then gathered into buffers first.
  virtual bool inverse_step_from(const SampleSource&, const SampleSource&, std::size_t,
                                 float*) const {
    return false;
  }
  // The same with the output pushed to a sink.
  virtual bool inverse_step_to(const SampleSource&, const SampleSource&, std::size_t,
                               const SampleSink&) const {
    return false;
  }

  // The length and band checks of an inverse step, in their order.
  Status check_inverse(std::size_t na, std::size_t nd, std::size_t n) const;
  // The length and band checks of a forward step, in their order.
  Status check_forward(std::size_t n, std::span<float> approximation,
                       std::span<float> details) const;

  std::size_t minimum_length_;
  std::size_t filter_length_;
};

}  // namespace lumvet

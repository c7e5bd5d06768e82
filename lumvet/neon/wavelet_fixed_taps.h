// Common shape of the fixed-tap convolution executors: the border mode, two
// tap arrays of kSlots floats (kTaps taps, then slots the kernels never read),
// the size rules and the length checks. Each tap count's header derives its
// executor class from one instance, and its unit instantiates that instance
// with the vector steps of wavelet_fixed_taps-inl.h for the count.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "lumvet/conv_sizes.h"
#include "lumvet/lumvet.h"

namespace lumvet {

template <std::size_t kTaps, std::size_t kSlots>
class FixedTapsExecutor : public IncompleteDwtExecutor {
  static_assert(kTaps >= 2 && kTaps % 2 == 0 && kSlots >= kTaps);

 public:
  static constexpr std::size_t kFilterLength = kTaps;
  static constexpr std::size_t kTapSlots = kSlots;
  using Taps = std::array<float, kSlots>;

  FixedTapsExecutor(BorderMode border, const Taps& low_pass, const Taps& high_pass)
      : border_(border), low_pass_(low_pass), high_pass_(high_pass) {}

  BorderMode border_mode() const { return border_; }
  const Taps& low_pass() const { return low_pass_; }
  const Taps& high_pass() const { return high_pass_; }

  Status execute_forward(std::span<const float> input, std::span<float> approximation,
                         std::span<float> details) const final {
    if (auto checked =
            conv::check_forward(kTaps, input.size(), approximation.size(), details.size());
        !checked) {
      return checked;
    }
    run_forward(input.data(), input.size(), approximation.data(), details.data(),
                approximation.size());
    return {};
  }

  Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                      std::span<float> details, std::span<float>) const final {
    return execute_forward(input, approximation, details);
  }

  // For signals of at least twice the taps the input is pulled a chunk at a
  // time and no copy of it is held; shorter ones are gathered first.
  Status execute_forward_from(const SampleSource& source, std::size_t input_length,
                              std::span<float> approximation,
                              std::span<float> details) const final {
    if (input_length < 2 * kTaps) {
      return DwtForwardExecutor::execute_forward_from(source, input_length, approximation, details);
    }
    if (auto checked =
            conv::check_forward(kTaps, input_length, approximation.size(), details.size());
        !checked) {
      return checked;
    }
    run_forward_from(source, input_length, approximation.data(), details.data(),
                     approximation.size());
    return {};
  }

  std::size_t required_scratch_size(std::size_t) const final { return 0; }

  DwtSize dwt_size(std::size_t input_length) const final {
    const std::size_t half = conv::band_length(input_length, kTaps);
    return DwtSize{half, half};
  }

  Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                         std::span<float> output) const final {
    if (auto checked =
            conv::check_inverse(kTaps, approximation.size(), details.size(), output.size());
        !checked) {
      return checked;
    }
    run_inverse(approximation.data(), details.data(), output.size() / 2, output.data());
    return {};
  }

  // Both bands pulled a chunk at a time, no copy of either held: sample j
  // of either is pulled before output sample 2j - L + 2 or any later one is
  // written, so the sources may read from the upper half of `output`.
  Status execute_inverse_from(const SampleSource& approximation, std::size_t approximation_length,
                              const SampleSource& details, std::size_t details_length,
                              std::span<float> output) const final {
    if (auto checked =
            conv::check_inverse(kTaps, approximation_length, details_length, output.size());
        !checked) {
      return checked;
    }
    run_inverse_pulled(approximation, details, output.size() / 2, output.data(), nullptr);
    return {};
  }

  // The same with the output pushed a chunk at a time.
  Status execute_inverse_to(const SampleSource& approximation, std::size_t approximation_length,
                            const SampleSource& details, std::size_t details_length,
                            const SampleSink& output) const final {
    const std::size_t length = conv::output_length(approximation_length, kTaps);
    if (auto checked = conv::check_inverse(kTaps, approximation_length, details_length, length);
        !checked) {
      return checked;
    }
    run_inverse_pulled(approximation, details, length / 2, nullptr, &output);
    return {};
  }

  std::size_t idwt_size(std::size_t approximation_length, std::size_t) const final {
    return conv::output_length(approximation_length, kTaps);
  }

  std::size_t filter_length() const final { return kTaps; }

 private:
  // The vector steps, dispatched to the best target at run time; defined in
  // the tap count's own unit. Lengths are checked; `outputs` is the band
  // length dwt_size gives for n.
  void run_forward(const float* input, std::size_t n, float* approximation, float* details,
                   std::size_t outputs) const;
  void run_forward_from(const SampleSource& source, std::size_t n, float* approximation,
                        float* details, std::size_t outputs) const;
  // Adds the reconstruction of `pairs` output pairs into output.
  void run_inverse(const float* approximation, const float* details, std::size_t pairs,
                   float* output) const;
  // The inverse with pulled bands, into `output` or, with a sink, pushed
  // there.
  void run_inverse_pulled(const SampleSource& approximation, const SampleSource& details,
                          std::size_t pairs, float* output, const SampleSink* sink) const;

  BorderMode border_;
  Taps low_pass_;
  Taps high_pass_;
};

}  // namespace lumvet

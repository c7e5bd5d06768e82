// One-level transforms against PyWavelets (tests/cpp/data/pywt_golden.h,
// written by scripts/gen_pywt_golden.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "conv_test_support.h"
#include "data/pywt_golden.h"
#include "lumvet/daubechies.h"

namespace lumvet {
namespace {

using namespace testing_support;

std::vector<float> taps_named(const std::string& name) {
  if (name.starts_with("db")) {
    return get_wavelet(static_cast<DaubechiesFamily>(std::stoi(name.substr(2)) - 1));
  }
  return get_wavelet(static_cast<SymletFamily>(std::stoi(name.substr(3)) - 2));
}

std::vector<IncompleteDwtExecutorHandle> executors_for(const std::string& name, BorderMode mode) {
  const auto taps = taps_named(name);
  std::vector<IncompleteDwtExecutorHandle> executors = {make_n_taps(mode, taps)};
  if (has_fixed_kernel(taps.size())) executors.push_back(make_fixed(mode, taps));
  return executors;
}

// Float taps and float arithmetic against float64: a few units in the last
// place of the band magnitude (inputs are below 1).
constexpr double kTolerance = 2e-6;

void expect_close(const std::vector<float>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], kTolerance) << i;
}

TEST(PywtGolden, ForwardMatchesEveryMode) {
  ASSERT_EQ(golden::kPywtForward.size(), 75u);
  for (const auto& c : golden::kPywtForward) {
    SCOPED_TRACE(std::string(c.wavelet) + " " + mode_name(c.mode) + " n " +
                 std::to_string(c.input.size()));
    for (const auto& executor : executors_for(c.wavelet, c.mode)) {
      const DwtSize size = executor->dwt_size(c.input.size());
      std::vector<float> a(size.approximation_length), d(size.details_length);
      ASSERT_TRUE(executor->execute_forward(c.input, a, d).has_value());
      expect_close(a, c.approximation);
      expect_close(d, c.details);
    }
  }
}

TEST(PywtGolden, InverseMatches) {
  for (const auto& c : golden::kPywtInverse) {
    SCOPED_TRACE(c.wavelet);
    for (const auto& executor : executors_for(c.wavelet, BorderMode::Wrap)) {
      std::vector<float> y(executor->idwt_size(c.approximation.size(), c.details.size()), 0.0f);
      ASSERT_TRUE(executor->execute_inverse(c.approximation, c.details, y).has_value());
      expect_close(y, c.output);
    }
  }
}

TEST(PywtGolden, PeriodizationIsWrapOfARotatedSignal) {
  // Periodization correlates the taps with x[2m - 3 .. 2m + 4] (mod n) where
  // the Wrap transform uses x[2m - 6 .. 2m + 1]: rotating the input left by
  // three samples aligns them, and the first n/2 outputs coincide.
  for (const auto& c : golden::kPywtPeriodization) {
    SCOPED_TRACE(c.wavelet);
    const std::size_t n = c.input.size();
    std::vector<float> rotated(n);
    for (std::size_t i = 0; i < n; ++i) rotated[i] = c.input[(i + 3) % n];
    for (const auto& executor : executors_for(c.wavelet, BorderMode::Wrap)) {
      const DwtSize size = executor->dwt_size(n);
      std::vector<float> a(size.approximation_length), d(size.details_length);
      ASSERT_TRUE(executor->execute_forward(rotated, a, d).has_value());
      a.resize(n / 2);
      d.resize(n / 2);
      expect_close(a, c.approximation);
      expect_close(d, c.details);
    }
  }
}

}  // namespace
}  // namespace lumvet

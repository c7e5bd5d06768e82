// Cdf53: worked values, every check in its order, and the tests every lifting
// executor shares run against a plain scalar reference written here from the
// lifting formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "lifting_test_suite.h"
#include "lumvet/lumvet.h"
#include "lumvet_test_util.h"

namespace lumvet {
namespace {

using K = LumvetErrorKind;
using testing_util::for_each_target;
using testing_util::LiftingCase;
using testing_util::LiftingForwardChecks;
using testing_util::LiftingInverseChecks;
using testing_util::LiftingTransform;
using testing_util::StepErrorCase;
using Samples = std::vector<float>;

// ---------------------------------------------------------------------------
// Scalar reference, one sample at a time, straight from the formulas.
namespace reference {

std::pair<Samples, Samples> forward(const Samples& x) {
  const std::size_t n = x.size();
  Samples s(n - n / 2), d(n / 2);
  for (std::size_t i = 0; i < d.size(); ++i) {
    const float right = 2 * i + 2 < n ? x[2 * i + 2] : x[n - 2];
    d[i] = std::fma(x[2 * i] + right, -0.5f, x[2 * i + 1]);
  }
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = x[2 * i];
  for (std::size_t i = 0; i < s.size(); ++i) {
    const float left = i > 0 ? d[i - 1] : d[0];
    const float right = i < d.size() ? d[i] : d[d.size() - 1];
    s[i] = std::fma(left + right, 0.25f, s[i]);
  }
  return {s, d};
}

Samples inverse(const Samples& s, const Samples& d) {
  Samples even(s.size()), odd(d.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const float left = i > 0 ? d[i - 1] : d[0];
    const float right = i < d.size() ? d[i] : d[d.size() - 1];
    even[i] = std::fma(left + right, -0.25f, s[i]);
  }
  for (std::size_t i = 0; i < d.size(); ++i) {
    const float right = i + 1 < s.size() ? even[i + 1] : even[i];
    odd[i] = std::fma(even[i] + right, 0.5f, d[i]);
  }
  Samples y(s.size() + d.size());
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = i % 2 == 0 ? even[i / 2] : odd[i / 2];
  return y;
}

}  // namespace reference
// ---------------------------------------------------------------------------

const DwtExecutorHandle& cdf53() {
  static const DwtExecutorHandle exec = Lumvet::make_cdf53_f32();
  return exec;
}

INSTANTIATE_TEST_SUITE_P(Cdf53, LiftingTransform,
                         ::testing::Values(LiftingCase{"Cdf53", &Lumvet::make_cdf53_f32,
                                                       &reference::forward, &reference::inverse, 3,
                                                       53}),
                         [](const auto& info) { return info.param.name; });

TEST(Cdf53, IntegerRampIsExact) {
  // Every sum is an exact float: details vanish except the mirrored last one
  // of an even length, and the inverse restores the ramp exactly.
  for_each_target([&] {
    for (std::size_t n = 3; n <= 2000; n += 1 + n / 7) {
      Samples x(n);
      for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(i);
      Samples s(n - n / 2), d(n / 2);
      ASSERT_TRUE(cdf53()->execute_forward(x, s, d).has_value());
      for (std::size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i], (n % 2 == 0 && i + 1 == d.size()) ? 1.0f : 0.0f) << n << " " << i;
      }
      Samples y(n);
      ASSERT_TRUE(cdf53()->execute_inverse(s, d, y).has_value());
      EXPECT_EQ(y, x);
    }
  });
}

// (input, approximation, details)
using WorkedCase = std::tuple<Samples, Samples, Samples>;

class Cdf53Worked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(Cdf53Worked, ForwardAndInverseAreExact) {
  const auto& [x, want_s, want_d] = GetParam();
  for_each_target([&] {
    Samples s(want_s.size()), d(want_d.size());
    ASSERT_TRUE(cdf53()->execute_forward(x, s, d).has_value());
    EXPECT_EQ(s, want_s);
    EXPECT_EQ(d, want_d);
    Samples y(x.size());
    ASSERT_TRUE(cdf53()->execute_inverse(s, d, y).has_value());
    EXPECT_EQ(y, x);
  });
}

INSTANTIATE_TEST_SUITE_P(
    ByHand, Cdf53Worked,
    ::testing::Values(WorkedCase{{0, 1, 2, 3, 4, 5, 6, 7}, {0, 2, 4, 6.25f}, {0, 0, 0, 1}},
                      WorkedCase{{0, 1, 2, 3, 4}, {0, 2, 4}, {0, 0}},
                      // N = 3: d = 1 - (2 + 6) / 2 = -3, both borders mirror d[0].
                      WorkedCase{{2, 1, 6}, {0.5f, 4.5f}, {-3}},
                      // N = 4: d[1] mirrors x[4] = x[2]; s[1] = 6 + (-3 + 2) / 4.
                      WorkedCase{{2, 1, 6, 8}, {0.5f, 5.75f}, {-3, 2}},
                      WorkedCase{Samples(9, 3.0f), Samples(5, 3.0f), Samples(4, 0.0f)}));

TEST(Cdf53, Sizes) {
  const auto& exec = cdf53();
  EXPECT_EQ(exec->filter_length(), 6u);
  EXPECT_EQ(exec->dwt_size(1), (DwtSize{2, 1}));
  EXPECT_EQ(exec->dwt_size(3), (DwtSize{2, 1}));
  EXPECT_EQ(exec->dwt_size(4), (DwtSize{2, 2}));
  EXPECT_EQ(exec->dwt_size(5), (DwtSize{3, 2}));
  EXPECT_EQ(exec->dwt_size(7), (DwtSize{4, 3}));
  EXPECT_EQ(exec->dwt_size(0), (DwtSize{2, 1}));
  EXPECT_EQ(exec->idwt_size(1, 1), 3u);
  EXPECT_EQ(exec->idwt_size(2, 1), 3u);
  EXPECT_EQ(exec->idwt_size(3, 2), 5u);
  EXPECT_EQ(exec->required_scratch_size(1000), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cdf53, LiftingForwardChecks,
    ::testing::Combine(::testing::Values(&Lumvet::make_cdf53_f32),
                       ::testing::Values(StepErrorCase{2, 2, 1, {K::InputTooShort, 2, 3}},
                                         StepErrorCase{0, 0, 0, {K::InputTooShort, 0, 3}},
                                         StepErrorCase{
                                             9, 4, 3, {K::ApproximationSizeMismatch, 4, 5}},
                                         StepErrorCase{9, 5, 5, {K::DetailsSizeMismatch, 5, 4}},
                                         StepErrorCase{3, 2, 2, {K::DetailsSizeMismatch, 2, 1}})));

INSTANTIATE_TEST_SUITE_P(
    Cdf53, LiftingInverseChecks,
    ::testing::Combine(
        ::testing::Values(&Lumvet::make_cdf53_f32),
        ::testing::Values(StepErrorCase{10, 5, 4, {K::OutputSizeMismatch, 9, 10}},
                          StepErrorCase{10, 4, 6, {K::ApproximationSizeMismatch, 4, 5}},
                          StepErrorCase{2, 1, 1, {K::ApproximationSizeMismatch, 1, 2}},
                          StepErrorCase{2, 2, 0, {K::DetailsSizeMismatch, 0, 1}},
                          StepErrorCase{1, 1, 0, {K::ApproximationSizeMismatch, 1, 2}},
                          StepErrorCase{0, 0, 0, {K::ApproximationSizeMismatch, 0, 2}})));

TEST(Cdf53, IdwtValidatesInStep) {
  EXPECT_EQ(cdf53()->idwt(DwtRef{Samples(2, 1.0f), Samples()}).error(),
            (LumvetError{K::DetailsSizeMismatch, 0, 1}));
  // 5 -> 3 -> 2: a 3-sample level is still taken, a 2-sample one is not.
  const Samples x = testing_util::random_signal(5, 1);
  EXPECT_TRUE(cdf53()->multi_dwt(x, 2).has_value());
  EXPECT_EQ(cdf53()->multi_dwt(x, 3).error(), LumvetError{K::BufferTooSmallForLevel});
}

}  // namespace
}  // namespace lumvet

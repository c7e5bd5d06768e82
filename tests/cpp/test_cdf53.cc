// Cdf53: worked values, every check in its order, and the tests every lifting
// executor shares run against a plain scalar reference written here from the
// lifting formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lifting_test_suite.h"
#include "lumvet/lumvet.h"
#include "lumvet_test_util.h"

namespace lumvet {
namespace {

using K = LumvetErrorKind;
using namespace testing_util;

// ---------------------------------------------------------------------------
// Scalar reference, one sample at a time, straight from the formulas.
namespace reference {

// Update s[i] += (d[i - 1] + d[i]) c, mirroring d[-1] = d[0] and, for odd
// n, d[nd] = d[nd - 1].
void update(Samples& s, const Samples& d, float c) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const float left = i > 0 ? d[i - 1] : d[0];
    const float right = i < d.size() ? d[i] : d[d.size() - 1];
    s[i] = std::fma(left + right, c, s[i]);
  }
}

std::pair<Samples, Samples> forward(const Samples& x) {
  auto [s, d] = split_even_odd(x);
  predict_odd(d, s, -0.5f);
  update(s, d, 0.25f);
  return {s, d};
}

Samples inverse(Samples s, Samples d) {
  update(s, d, -0.25f);
  predict_odd(d, s, 0.5f);
  return merge_even_odd(s, d);
}

}  // namespace reference
// ---------------------------------------------------------------------------

const DwtExecutorHandle& cdf53() {
  static const DwtExecutorHandle exec = Lumvet::make_cdf53_f32();
  return exec;
}

INSTANTIATE_TEST_SUITE_P(
    Cdf53, LiftingTransform,
    ::testing::Values(LiftingCase{
        .name = "Cdf53",
        .make = &Lumvet::make_cdf53_f32,
        .forward = &reference::forward,
        .inverse = &reference::inverse,
        .minimum_length = 3,
        .length_seed = 53,
        .filter_length = 6,
        .band_lengths =
            {{1, {2, 1}}, {3, {2, 1}}, {4, {2, 2}}, {5, {3, 2}}, {7, {4, 3}}, {0, {2, 1}}},
        .output_lengths = {{1, 1, 3}, {2, 1, 3}, {3, 2, 5}}}),
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

INSTANTIATE_TEST_SUITE_P(
    Cdf53, LiftingWorked,
    ::testing::Combine(
        ::testing::Values(&Lumvet::make_cdf53_f32),
        ::testing::Values(WorkedLevel{{0, 1, 2, 3, 4, 5, 6, 7}, {0, 2, 4, 6.25f}, {0, 0, 0, 1}},
                          WorkedLevel{{0, 1, 2, 3, 4}, {0, 2, 4}, {0, 0}},
                          // N = 3: d = 1 - (2 + 6) / 2 = -3, both borders mirror d[0].
                          WorkedLevel{{2, 1, 6}, {0.5f, 4.5f}, {-3}},
                          // N = 4: d[1] mirrors x[4] = x[2]; s[1] = 6 + (-3 + 2) / 4.
                          WorkedLevel{{2, 1, 6, 8}, {0.5f, 5.75f}, {-3, 2}},
                          WorkedLevel{Samples(9, 3.0f), Samples(5, 3.0f), Samples(4, 0.0f)})));

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

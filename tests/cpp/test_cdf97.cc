// NeonCdf97F32: worked values, every check in its order, the blocked
// even-update rule, and the tests every lifting executor shares run against a
// plain scalar reference written here from the lifting formulas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
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

constexpr float kAlpha = -1.58613431f;
constexpr float kBeta = -0.0529801175f;
constexpr float kGamma = 0.882911086f;
constexpr float kDelta = 0.443506867f;
constexpr float kScale = 1.14960444f;
constexpr float kDetailsScale = 0.869864464f;

// The even update with its three separately blocked sequences
// E = s[1 .. ne-2], A = d[0 .. no-1], B = d[1 .. no-1].
void update_even(Samples& s, const Samples& d, float c) {
  const std::size_t ne = s.size(), no = d.size();
  s[0] = std::fma(d[0] + d[0], c, s[0]);
  const std::size_t le = ne - 2, la = no, lb = no - 1;
  auto e = [&](std::size_t k) -> float& { return s[1 + k]; };
  auto a = [&](std::size_t k) { return d[k]; };
  auto b = [&](std::size_t k) { return d[1 + k]; };
  for (std::size_t k = 0; k < le / 16 * 16; ++k) e(k) = std::fma(a(k) + b(k), c, e(k));
  const std::size_t r = std::min({le % 16, la % 16, lb % 16});
  for (std::size_t k = 0; k < r; ++k) {
    float& t = e(le / 16 * 16 + k);
    t = std::fma(a(la / 16 * 16 + k) + b(lb / 16 * 16 + k), c, t);
  }
  s[ne - 1] = std::fma(d[ne - 2] + d[no - 1], c, s[ne - 1]);
}

std::pair<Samples, Samples> forward(const Samples& x) {
  auto [s, d] = split_even_odd(x);
  predict_odd(d, s, kAlpha);
  update_even(s, d, kBeta);
  predict_odd(d, s, kGamma);
  update_even(s, d, kDelta);
  for (float& v : s) v *= kScale;
  for (float& v : d) v *= kDetailsScale;
  return {s, d};
}

Samples inverse(Samples s, Samples d) {
  for (float& v : s) v *= kDetailsScale;
  for (float& v : d) v *= kScale;
  update_even(s, d, -kDelta);
  predict_odd(d, s, -kGamma);
  update_even(s, d, -kBeta);
  predict_odd(d, s, -kAlpha);
  return merge_even_odd(s, d);
}

}  // namespace reference
// ---------------------------------------------------------------------------

const DwtExecutorHandle& cdf97() {
  static const DwtExecutorHandle exec = Lumvet::make_cdf97_f32();
  return exec;
}

INSTANTIATE_TEST_SUITE_P(
    Cdf97, LiftingTransform,
    ::testing::Values(LiftingCase{
        .name = "Cdf97",
        .make = &Lumvet::make_cdf97_f32,
        .forward = &reference::forward,
        .inverse = &reference::inverse,
        .minimum_length = 4,
        .length_seed = 97,
        .filter_length = 10,
        .band_lengths = {{4, {2, 2}}, {5, {3, 2}}, {7, {4, 3}}, {3, {2, 2}}, {0, {2, 2}}},
        .output_lengths = {{2, 2, 4}, {1, 1, 4}, {513, 512, 1025}}}),
    [](const auto& info) { return info.param.name; });

// Values from working the steps by hand; the inverse is exact to a few ulps.
INSTANTIATE_TEST_SUITE_P(
    Cdf97, LiftingWorked,
    ::testing::Combine(
        ::testing::Values(&Lumvet::make_cdf97_f32),
        ::testing::Values(WorkedLevel{{0, 1, 2, 3, 4, 5, 6, 7},
                                      {0.471838951f, 2.93204212f, 5.58119726f, 8.57495785f},
                                      {0.176776677f, 2.33181936e-07f, -0.129077777f, 0.611709654f},
                                      4e-6f},
                          WorkedLevel{{0, 1, 2, 3, 4},
                                      {0.471838951f, 2.82842731f, 5.18501568f},
                                      {0.176776677f, -0.176776424f},
                                      4e-6f},
                          WorkedLevel{Samples(6, 1.0f), Samples(3, 1.41421354f),
                                      Samples(3, 8.59669402e-09f), 4e-6f})));

// Approximation samples of x = 0, 1, 0, 1, ... that the update steps never
// reach: every other sample is zero after the split, and stays so only where
// the blocked even update skips it.
std::size_t samples_left_without_update(std::size_t n) {
  Samples x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(i % 2);
  Samples s(n - n / 2), d(n / 2);
  EXPECT_TRUE(cdf97()->execute_forward(x, s, d).has_value());
  return static_cast<std::size_t>(std::count(s.begin(), s.end(), 0.0f));
}

TEST(Cdf97, BlockedUpdateSkipsTheTailForLengthsZeroOneTwoModThirtyTwo) {
  for_each_target([&] {
    EXPECT_EQ(samples_left_without_update(32), 14u);
    EXPECT_EQ(samples_left_without_update(33), 15u);
    EXPECT_EQ(samples_left_without_update(34), 15u);
    EXPECT_EQ(samples_left_without_update(1024), 14u);
    EXPECT_EQ(samples_left_without_update(1025), 15u);
    for (std::size_t n : {4, 5, 30, 31, 35, 36, 63, 1027}) {
      EXPECT_EQ(samples_left_without_update(n), 0u) << n;
    }
  });
  // N = 1024 leaves exactly s[497 .. 510].
  Samples x(1024);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 2);
  Samples s(512), d(512);
  ASSERT_TRUE(cdf97()->execute_forward(x, s, d).has_value());
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i] == 0.0f, i >= 497 && i <= 510) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cdf97, LiftingForwardChecks,
    ::testing::Combine(
        ::testing::Values(&Lumvet::make_cdf97_f32),
        ::testing::Values(StepErrorCase{3, 2, 2, {K::InputTooShort, 3, 4}},
                          StepErrorCase{0, 0, 0, {K::InputTooShort, 0, 4}},
                          StepErrorCase{3, 5, 5, {K::InputTooShort, 3, 4}},
                          StepErrorCase{9, 4, 3, {K::ApproximationSizeMismatch, 4, 5}},
                          StepErrorCase{9, 4, 4, {K::ApproximationSizeMismatch, 4, 5}},
                          StepErrorCase{9, 5, 5, {K::DetailsSizeMismatch, 5, 4}},
                          StepErrorCase{8, 4, 3, {K::DetailsSizeMismatch, 3, 4}})));

INSTANTIATE_TEST_SUITE_P(
    Cdf97, LiftingInverseChecks,
    ::testing::Combine(
        ::testing::Values(&Lumvet::make_cdf97_f32),
        ::testing::Values(StepErrorCase{10, 5, 4, {K::OutputSizeMismatch, 9, 10}},
                          StepErrorCase{10, 4, 6, {K::ApproximationSizeMismatch, 4, 5}},
                          StepErrorCase{9, 4, 5, {K::ApproximationSizeMismatch, 4, 5}},
                          StepErrorCase{3, 2, 1, {K::DetailsSizeMismatch, 1, 2}},
                          StepErrorCase{2, 1, 1, {K::ApproximationSizeMismatch, 1, 2}},
                          StepErrorCase{2, 2, 0, {K::DetailsSizeMismatch, 0, 2}},
                          StepErrorCase{0, 0, 0, {K::ApproximationSizeMismatch, 0, 2}})));

TEST(Cdf97, IdwtValidatesInStep) {
  const Samples a(5, 1.0f), d(3, 1.0f);
  auto r = cdf97()->idwt(DwtRef{a, d});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), (LumvetError{K::ApproximationSizeMismatch, 5, 4}));
  EXPECT_EQ(cdf97()->idwt(DwtRef{Samples(2, 1.0f), Samples(1, 1.0f)}).error(),
            (LumvetError{K::DetailsSizeMismatch, 1, 2}));
  auto ok = cdf97()->idwt(DwtRef{a, Samples(4, 1.0f)});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->size(), 9u);
  // In multi_idwt too, a band that does not fit its level is the step's error.
  const Samples band(10, 1.0f);
  EXPECT_EQ(cdf97()->multi_idwt(MultiDwtRef{{Samples(25, 1.0f), band}, band}).error(),
            (LumvetError{K::ApproximationSizeMismatch, 20, 23}));
}

}  // namespace
}  // namespace lumvet

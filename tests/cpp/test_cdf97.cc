// NeonCdf97F32: worked values, every check in its order, the blocked
// even-update rule, every vector target against a plain scalar reference
// written here from the lifting formulas, and the level driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "lumvet/cdf97f.h"
#include "lumvet/lumvet.h"
#include "lumvet_test_util.h"

namespace lumvet {
namespace {

using K = LumvetErrorKind;
using testing_util::expect_every_allocation_failure_reported;
using testing_util::first_bit_difference;
using testing_util::for_each_target;
using Samples = std::vector<float>;

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

// d[i] += c (s[i] + s[i + 1]), mirroring s[na] = s[na - 1].
void predict(Samples& d, const Samples& s, float c) {
  for (std::size_t i = 0; i < d.size(); ++i) {
    const float right = i + 1 < s.size() ? s[i + 1] : s[i];
    d[i] = std::fma(s[i] + right, c, d[i]);
  }
}

std::pair<Samples, Samples> forward(const Samples& x) {
  const std::size_t n = x.size();
  Samples s(n - n / 2), d(n / 2);
  for (std::size_t i = 0; i < d.size(); ++i) {
    const float right = 2 * i + 2 < n ? x[2 * i + 2] : x[n - 2];
    d[i] = std::fma(x[2 * i] + right, kAlpha, x[2 * i + 1]);
  }
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = x[2 * i];
  update_even(s, d, kBeta);
  predict(d, s, kGamma);
  update_even(s, d, kDelta);
  for (float& v : s) v *= kScale;
  for (float& v : d) v *= kDetailsScale;
  return {s, d};
}

Samples inverse(Samples s, Samples d) {
  for (float& v : s) v *= kDetailsScale;
  for (float& v : d) v *= kScale;
  update_even(s, d, -kDelta);
  predict(d, s, -kGamma);
  update_even(s, d, -kBeta);
  predict(d, s, -kAlpha);
  Samples y(s.size() + d.size());
  for (std::size_t i = 0; i < d.size(); ++i) {
    y[2 * i] = s[i];
    y[2 * i + 1] = d[i];
  }
  if (s.size() > d.size()) y.back() = s.back();
  return y;
}

}  // namespace reference
// ---------------------------------------------------------------------------

Samples random_signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
  Samples x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

MultiDwtRef view_of(const MultiDwt& m) {
  MultiDwtRef ref;
  for (const Dwt& level : m.levels) ref.details.emplace_back(level.details);
  ref.approximation = m.levels.back().approximation;
  return ref;
}

const DwtExecutorHandle& cdf97() {
  static const DwtExecutorHandle exec = Lumvet::make_cdf97_f32();
  return exec;
}

std::vector<std::size_t> lengths_to_check() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 4; n <= 300; ++n) lengths.push_back(n);
  // Chunk edges of the kernels (1024 and 2048 approximation samples) included.
  for (std::size_t n : {1024, 1025, 1026, 2046, 2047, 2048, 2049, 2050, 2051, 4094, 4095, 4096,
                        4097, 4098, 4099, 6144, 6145, 8192, 8193}) {
    lengths.push_back(n);
  }
  std::mt19937 rng(97);
  std::uniform_int_distribution<std::size_t> dist(5000, 70000);
  for (int k = 0; k < 4; ++k) lengths.push_back(dist(rng));
  return lengths;
}

TEST(Cdf97, EveryTargetMatchesTheReference) {
  const auto lengths = lengths_to_check();
  std::size_t targets = 0;
  for_each_target([&] {
    ++targets;
    for (const std::size_t n : lengths) {
      SCOPED_TRACE("n = " + std::to_string(n));
      const Samples x = random_signal(n, static_cast<unsigned>(n));
      const auto [want_s, want_d] = reference::forward(x);
      Samples s(want_s.size()), d(want_d.size());
      ASSERT_TRUE(cdf97()->execute_forward(x, s, d).has_value());
      EXPECT_EQ(first_bit_difference(s, want_s), -1);
      EXPECT_EQ(first_bit_difference(d, want_d), -1);

      // The inverse of arbitrary coefficients, not only of a forward result.
      const Samples a = random_signal(want_s.size(), static_cast<unsigned>(n + 1));
      const Samples b = random_signal(want_d.size(), static_cast<unsigned>(n + 2));
      Samples y(n);
      ASSERT_TRUE(cdf97()->execute_inverse(a, b, y).has_value());
      EXPECT_EQ(first_bit_difference(y, reference::inverse(a, b)), -1);
    }
  });
  EXPECT_GE(targets, 2u) << "only one target compiled in";
}

TEST(Cdf97, EveryTargetMatchesSingleLevelsOverSeveralLevels) {
  for_each_target([&] {
    for (const std::size_t n : {4, 5, 37, 1000, 1025, 4097, 65539}) {
      SCOPED_TRACE("n = " + std::to_string(n));
      const Samples x = random_signal(n, static_cast<unsigned>(3 * n));
      std::size_t levels = 0;
      for (std::size_t m = n; m >= 4; m -= m / 2) ++levels;
      auto multi = cdf97()->multi_dwt(x, levels);
      ASSERT_TRUE(multi.has_value()) << multi.error().message();
      ASSERT_EQ(multi->levels.size(), levels);
      Samples current = x;
      std::vector<Samples> details;
      for (std::size_t k = 0; k < levels; ++k) {
        auto [s, d] = reference::forward(current);
        EXPECT_EQ(first_bit_difference(multi->levels[k].approximation, s), -1) << "level " << k;
        EXPECT_EQ(first_bit_difference(multi->levels[k].details, d), -1) << "level " << k;
        details.push_back(d);
        current = s;
      }
      auto deepest = cdf97()->dwt(x, levels);
      ASSERT_TRUE(deepest.has_value());
      EXPECT_EQ(first_bit_difference(deepest->approximation, current), -1);
      EXPECT_EQ(first_bit_difference(deepest->details, details.back()), -1);

      Samples restored = current;
      for (std::size_t k = levels; k-- > 0;) restored = reference::inverse(restored, details[k]);
      auto got = cdf97()->multi_idwt(view_of(*multi));
      ASSERT_TRUE(got.has_value()) << got.error().message();
      EXPECT_EQ(first_bit_difference(*got, restored), -1);
    }
  });
}

TEST(Cdf97, RoundTripWithinFloatRounding) {
  for (std::size_t n = 4; n < 700; n += 7) {
    for (const std::size_t levels : {1, 2, 5, 9}) {
      const Samples x = random_signal(n, static_cast<unsigned>(n * 13 + levels));
      auto multi = cdf97()->multi_dwt(x, levels);
      if (!multi) {
        EXPECT_EQ(multi.error(), LumvetError{K::BufferTooSmallForLevel});
        continue;
      }
      auto y = cdf97()->multi_idwt(view_of(*multi));
      ASSERT_TRUE(y.has_value());
      ASSERT_EQ(y->size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_NEAR((*y)[i], x[i], 2e-4f)
            << "n = " << n << ", levels = " << levels << ", i = " << i;
      }
    }
  }
}

// (input, approximation, details), values from working the steps by hand.
using WorkedCase = std::tuple<Samples, Samples, Samples>;

class Cdf97Worked : public ::testing::TestWithParam<WorkedCase> {};

TEST_P(Cdf97Worked, ForwardIsExactAndInverseClose) {
  const auto& [x, want_s, want_d] = GetParam();
  for_each_target([&] {
    Samples s(want_s.size()), d(want_d.size());
    ASSERT_TRUE(cdf97()->execute_forward(x, s, d).has_value());
    EXPECT_EQ(first_bit_difference(s, want_s), -1);
    EXPECT_EQ(first_bit_difference(d, want_d), -1);
    Samples y(x.size());
    ASSERT_TRUE(cdf97()->execute_inverse(s, d, y).has_value());
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(y[i], x[i], 4e-6f);
  });
}

INSTANTIATE_TEST_SUITE_P(
    ByHand, Cdf97Worked,
    ::testing::Values(WorkedCase{{0, 1, 2, 3, 4, 5, 6, 7},
                                 {0.471838951f, 2.93204212f, 5.58119726f, 8.57495785f},
                                 {0.176776677f, 2.33181936e-07f, -0.129077777f, 0.611709654f}},
                      WorkedCase{{0, 1, 2, 3, 4},
                                 {0.471838951f, 2.82842731f, 5.18501568f},
                                 {0.176776677f, -0.176776424f}},
                      WorkedCase{Samples(6, 1.0f), Samples(3, 1.41421354f),
                                 Samples(3, 8.59669402e-09f)}));

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

TEST(Cdf97, Sizes) {
  const auto& exec = cdf97();
  EXPECT_EQ(exec->filter_length(), 10u);
  EXPECT_EQ(exec->dwt_size(4), (DwtSize{2, 2}));
  EXPECT_EQ(exec->dwt_size(5), (DwtSize{3, 2}));
  EXPECT_EQ(exec->dwt_size(7), (DwtSize{4, 3}));
  EXPECT_EQ(exec->dwt_size(3), (DwtSize{2, 2}));
  EXPECT_EQ(exec->dwt_size(0), (DwtSize{2, 2}));
  EXPECT_EQ(exec->idwt_size(2, 2), 4u);
  EXPECT_EQ(exec->idwt_size(1, 1), 4u);
  EXPECT_EQ(exec->idwt_size(513, 512), 1025u);
  EXPECT_EQ(exec->required_scratch_size(1000), 0u);
}

TEST(Cdf97, ScratchIsIgnored) {
  const Samples x = random_signal(101, 5);
  Samples s1(51), d1(50), s2(51), d2(50);
  ASSERT_TRUE(cdf97()->execute_forward(x, s1, d1).has_value());
  ASSERT_TRUE(cdf97()->execute_forward_with_scratch(x, s2, d2, {}).has_value());
  EXPECT_EQ(s1, s2);
  EXPECT_EQ(d1, d2);
}

// (input length, approximation length, details length, error)
using StepErrorCase = std::tuple<std::size_t, std::size_t, std::size_t, LumvetError>;

class Cdf97ForwardChecks : public ::testing::TestWithParam<StepErrorCase> {};

TEST_P(Cdf97ForwardChecks, FailWithoutWriting) {
  const auto& [n, na, nd, error] = GetParam();
  const Samples x(n, 1.0f);
  Samples s(na, -7.0f), d(nd, -7.0f);
  auto status = cdf97()->execute_forward(x, s, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), error);
  EXPECT_EQ(s, Samples(na, -7.0f));
  EXPECT_EQ(d, Samples(nd, -7.0f));
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, Cdf97ForwardChecks,
    ::testing::Values(StepErrorCase{3, 2, 2, {K::InputTooShort, 3, 4}},
                      StepErrorCase{0, 0, 0, {K::InputTooShort, 0, 4}},
                      StepErrorCase{3, 5, 5, {K::InputTooShort, 3, 4}},
                      StepErrorCase{9, 4, 3, {K::ApproximationSizeMismatch, 4, 5}},
                      StepErrorCase{9, 4, 4, {K::ApproximationSizeMismatch, 4, 5}},
                      StepErrorCase{9, 5, 5, {K::DetailsSizeMismatch, 5, 4}},
                      StepErrorCase{8, 4, 3, {K::DetailsSizeMismatch, 3, 4}}));

// (output length, approximation length, details length, error)
class Cdf97InverseChecks : public ::testing::TestWithParam<StepErrorCase> {};

TEST_P(Cdf97InverseChecks, FailWithoutWriting) {
  const auto& [n, na, nd, error] = GetParam();
  const Samples s(na, 1.0f), d(nd, 1.0f);
  Samples y(n, -7.0f);
  auto status = cdf97()->execute_inverse(s, d, y);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), error);
  EXPECT_EQ(y, Samples(n, -7.0f));
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, Cdf97InverseChecks,
    ::testing::Values(StepErrorCase{10, 5, 4, {K::OutputSizeMismatch, 9, 10}},
                      StepErrorCase{10, 4, 6, {K::ApproximationSizeMismatch, 4, 5}},
                      StepErrorCase{9, 4, 5, {K::ApproximationSizeMismatch, 4, 5}},
                      StepErrorCase{3, 2, 1, {K::DetailsSizeMismatch, 1, 2}},
                      StepErrorCase{2, 1, 1, {K::ApproximationSizeMismatch, 1, 2}},
                      StepErrorCase{2, 2, 0, {K::DetailsSizeMismatch, 0, 2}},
                      StepErrorCase{0, 0, 0, {K::ApproximationSizeMismatch, 0, 2}}));

TEST(Cdf97, ShortInputMessage) {
  Samples s(2), d(2);
  auto status = cdf97()->execute_forward(Samples(3, 0.0f), s, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message(), "Input size 3 can't be less than 4");
}

TEST(Cdf97, DriverRefusesShortLevels) {
  const Samples three(3, 1.0f);
  for (const std::size_t levels : {0, 1, 2, 8}) {
    auto multi = cdf97()->multi_dwt(three, levels);
    ASSERT_FALSE(multi.has_value());
    EXPECT_EQ(multi.error().message(), "Buffer was too small for provided level");
    auto single = cdf97()->dwt(three, levels);
    ASSERT_FALSE(single.has_value());
    EXPECT_EQ(single.error(), LumvetError{K::BufferTooSmallForLevel});
  }
  // 100 -> 50 -> 25 -> 13 -> 7 -> 4 -> 2: six levels fit, a seventh does not.
  const Samples x = random_signal(100, 9);
  auto six = cdf97()->multi_dwt(x, 6);
  ASSERT_TRUE(six.has_value());
  EXPECT_EQ(six->levels.back().approximation.size(), 2u);
  EXPECT_EQ(six->levels.back().details.size(), 2u);
  EXPECT_FALSE(cdf97()->multi_dwt(x, 7).has_value());
  EXPECT_FALSE(cdf97()->dwt(x, 7).has_value());
  EXPECT_EQ(cdf97()->multi_dwt(x, ~std::size_t{0}).error(), LumvetError{K::BufferTooSmallForLevel});
}

TEST(Cdf97, ZeroLevelsIsOneLevel) {
  const Samples x = random_signal(77, 4);
  auto zero = cdf97()->multi_dwt(x, 0);
  auto one = cdf97()->multi_dwt(x, 1);
  ASSERT_TRUE(zero && one);
  ASSERT_EQ(zero->levels.size(), 1u);
  EXPECT_EQ(zero->levels[0].approximation, one->levels[0].approximation);
  EXPECT_EQ(zero->levels[0].details, one->levels[0].details);
  auto d0 = cdf97()->dwt(x, 0);
  ASSERT_TRUE(d0.has_value());
  EXPECT_EQ(d0->details, one->levels[0].details);
}

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
}

TEST(Cdf97, MultiIdwtRejectsEmptyInput) {
  const Samples band(10, 1.0f), empty;
  EXPECT_EQ(cdf97()->multi_idwt(MultiDwtRef{{}, band}).error(), LumvetError{K::ZeroSizedInput});
  EXPECT_EQ(cdf97()->multi_idwt(MultiDwtRef{{band}, empty}).error(),
            LumvetError{K::ZeroSizedInput});
  // A band that does not fit its level is the step's error.
  EXPECT_EQ(cdf97()->multi_idwt(MultiDwtRef{{Samples(25, 1.0f), band}, band}).error(),
            (LumvetError{K::ApproximationSizeMismatch, 20, 23}));
}

TEST(Cdf97, AllocationFailuresBecomeCannotAllocate) {
  const Samples x = random_signal(301, 12);
  expect_every_allocation_failure_reported([&] { return cdf97()->multi_dwt(x, 4); });
  expect_every_allocation_failure_reported([&] { return cdf97()->multi_dwt(x, 1); });
  expect_every_allocation_failure_reported([&] { return cdf97()->dwt(x, 3); });
  auto multi = cdf97()->multi_dwt(x, 4);
  ASSERT_TRUE(multi.has_value());
  const MultiDwtRef ref = view_of(*multi);
  expect_every_allocation_failure_reported([&] { return cdf97()->multi_idwt(ref); });
  expect_every_allocation_failure_reported(
      [&] { return cdf97()->idwt(DwtRef{ref.approximation, ref.details.back()}); });
}

}  // namespace
}  // namespace lumvet

// Cdf53: worked values, every check in its order, every vector target against
// a plain scalar reference written here from the lifting formulas, and the
// level driver.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "lumvet/cdf53.h"
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

const DwtExecutorHandle& cdf53() {
  static const DwtExecutorHandle exec = Lumvet::make_cdf53_f32();
  return exec;
}

std::vector<std::size_t> lengths_to_check() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 3; n <= 300; ++n) lengths.push_back(n);
  // Chunk edges of the kernels (1024 and 2048 approximation samples) included.
  for (std::size_t n : {1024, 1025, 1026, 2046, 2047, 2048, 2049, 2050, 2051, 4094, 4095, 4096,
                        4097, 4098, 4099, 6144, 6145, 8192, 8193}) {
    lengths.push_back(n);
  }
  std::mt19937 rng(53);
  std::uniform_int_distribution<std::size_t> dist(5000, 70000);
  for (int k = 0; k < 4; ++k) lengths.push_back(dist(rng));
  return lengths;
}

TEST(Cdf53, EveryTargetMatchesTheReference) {
  const auto lengths = lengths_to_check();
  std::size_t targets = 0;
  for_each_target([&] {
    ++targets;
    for (const std::size_t n : lengths) {
      SCOPED_TRACE("n = " + std::to_string(n));
      const Samples x = random_signal(n, static_cast<unsigned>(n));
      const auto [want_s, want_d] = reference::forward(x);
      Samples s(want_s.size()), d(want_d.size());
      ASSERT_TRUE(cdf53()->execute_forward(x, s, d).has_value());
      EXPECT_EQ(first_bit_difference(s, want_s), -1);
      EXPECT_EQ(first_bit_difference(d, want_d), -1);

      const Samples a = random_signal(want_s.size(), static_cast<unsigned>(n + 1));
      const Samples b = random_signal(want_d.size(), static_cast<unsigned>(n + 2));
      Samples y(n);
      ASSERT_TRUE(cdf53()->execute_inverse(a, b, y).has_value());
      EXPECT_EQ(first_bit_difference(y, reference::inverse(a, b)), -1);
    }
  });
  EXPECT_GE(targets, 2u) << "only one target compiled in";
}

TEST(Cdf53, EveryTargetMatchesSingleLevelsOverSeveralLevels) {
  for_each_target([&] {
    for (const std::size_t n : {3, 4, 37, 1000, 1025, 4097, 65539}) {
      SCOPED_TRACE("n = " + std::to_string(n));
      const Samples x = random_signal(n, static_cast<unsigned>(3 * n));
      std::size_t levels = 0;
      for (std::size_t m = n; m >= 3; m -= m / 2) ++levels;
      auto multi = cdf53()->multi_dwt(x, levels);
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
      auto deepest = cdf53()->dwt(x, levels);
      ASSERT_TRUE(deepest.has_value());
      EXPECT_EQ(first_bit_difference(deepest->approximation, current), -1);
      EXPECT_EQ(first_bit_difference(deepest->details, details.back()), -1);

      Samples restored = current;
      for (std::size_t k = levels; k-- > 0;) restored = reference::inverse(restored, details[k]);
      auto got = cdf53()->multi_idwt(view_of(*multi));
      ASSERT_TRUE(got.has_value()) << got.error().message();
      EXPECT_EQ(first_bit_difference(*got, restored), -1);
    }
  });
}

TEST(Cdf53, RoundTripWithinFloatRounding) {
  for (std::size_t n = 3; n < 700; n += 7) {
    for (const std::size_t levels : {1, 2, 5, 9}) {
      const Samples x = random_signal(n, static_cast<unsigned>(n * 13 + levels));
      auto multi = cdf53()->multi_dwt(x, levels);
      if (!multi) {
        EXPECT_EQ(multi.error(), LumvetError{K::BufferTooSmallForLevel});
        continue;
      }
      auto y = cdf53()->multi_idwt(view_of(*multi));
      ASSERT_TRUE(y.has_value());
      ASSERT_EQ(y->size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_NEAR((*y)[i], x[i], 2e-4f)
            << "n = " << n << ", levels = " << levels << ", i = " << i;
      }
    }
  }
}

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

TEST(Cdf53, ScratchIsIgnored) {
  const Samples x = random_signal(100, 5);
  Samples s1(50), d1(50), s2(50), d2(50);
  ASSERT_TRUE(cdf53()->execute_forward(x, s1, d1).has_value());
  ASSERT_TRUE(cdf53()->execute_forward_with_scratch(x, s2, d2, {}).has_value());
  EXPECT_EQ(s1, s2);
  EXPECT_EQ(d1, d2);
}

// (input or output length, approximation length, details length, error)
using StepErrorCase = std::tuple<std::size_t, std::size_t, std::size_t, LumvetError>;

class Cdf53ForwardChecks : public ::testing::TestWithParam<StepErrorCase> {};

TEST_P(Cdf53ForwardChecks, FailWithoutWriting) {
  const auto& [n, na, nd, error] = GetParam();
  const Samples x(n, 1.0f);
  Samples s(na, -7.0f), d(nd, -7.0f);
  auto status = cdf53()->execute_forward(x, s, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), error);
  EXPECT_EQ(s, Samples(na, -7.0f));
  EXPECT_EQ(d, Samples(nd, -7.0f));
}

INSTANTIATE_TEST_SUITE_P(InOrder, Cdf53ForwardChecks,
                         ::testing::Values(StepErrorCase{2, 2, 1, {K::InputTooShort, 2, 3}},
                                           StepErrorCase{0, 0, 0, {K::InputTooShort, 0, 3}},
                                           StepErrorCase{
                                               9, 4, 3, {K::ApproximationSizeMismatch, 4, 5}},
                                           StepErrorCase{9, 5, 5, {K::DetailsSizeMismatch, 5, 4}},
                                           StepErrorCase{3, 2, 2, {K::DetailsSizeMismatch, 2, 1}}));

class Cdf53InverseChecks : public ::testing::TestWithParam<StepErrorCase> {};

TEST_P(Cdf53InverseChecks, FailWithoutWriting) {
  const auto& [n, na, nd, error] = GetParam();
  const Samples s(na, 1.0f), d(nd, 1.0f);
  Samples y(n, -7.0f);
  auto status = cdf53()->execute_inverse(s, d, y);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), error);
  EXPECT_EQ(y, Samples(n, -7.0f));
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, Cdf53InverseChecks,
    ::testing::Values(StepErrorCase{10, 5, 4, {K::OutputSizeMismatch, 9, 10}},
                      StepErrorCase{10, 4, 6, {K::ApproximationSizeMismatch, 4, 5}},
                      StepErrorCase{2, 1, 1, {K::ApproximationSizeMismatch, 1, 2}},
                      StepErrorCase{2, 2, 0, {K::DetailsSizeMismatch, 0, 1}},
                      StepErrorCase{1, 1, 0, {K::ApproximationSizeMismatch, 1, 2}},
                      StepErrorCase{0, 0, 0, {K::ApproximationSizeMismatch, 0, 2}}));

TEST(Cdf53, ShortInputMessage) {
  Samples s(2), d(1);
  auto status = cdf53()->execute_forward(Samples(2, 0.0f), s, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message(), "Input size 2 can't be less than 3");
}

TEST(Cdf53, DriverRefusesShortLevels) {
  const Samples two(2, 1.0f);
  for (const std::size_t levels : {0, 1, 2, 8}) {
    auto multi = cdf53()->multi_dwt(two, levels);
    ASSERT_FALSE(multi.has_value());
    EXPECT_EQ(multi.error().message(), "Buffer was too small for provided level");
    EXPECT_EQ(cdf53()->dwt(two, levels).error(), LumvetError{K::BufferTooSmallForLevel});
  }
  // 100 -> 50 -> 25 -> 13 -> 7 -> 4 -> 2: six levels fit, a seventh does not.
  const Samples x = random_signal(100, 9);
  auto six = cdf53()->multi_dwt(x, 6);
  ASSERT_TRUE(six.has_value());
  EXPECT_EQ(six->levels.back().approximation.size(), 2u);
  EXPECT_EQ(six->levels.back().details.size(), 2u);
  EXPECT_EQ(cdf53()->multi_dwt(x, 7).error(), LumvetError{K::BufferTooSmallForLevel});
  // 3 samples are enough for one more level: 5 -> 3 -> 2.
  EXPECT_TRUE(cdf53()->multi_dwt(random_signal(5, 1), 2).has_value());
  EXPECT_FALSE(cdf53()->multi_dwt(random_signal(5, 1), 3).has_value());
}

TEST(Cdf53, ZeroLevelsIsOneLevel) {
  const Samples x = random_signal(77, 4);
  auto zero = cdf53()->multi_dwt(x, 0);
  auto one = cdf53()->multi_dwt(x, 1);
  ASSERT_TRUE(zero && one);
  ASSERT_EQ(zero->levels.size(), 1u);
  EXPECT_EQ(zero->levels[0].approximation, one->levels[0].approximation);
  EXPECT_EQ(zero->levels[0].details, one->levels[0].details);
}

TEST(Cdf53, MultiIdwtRejectsEmptyInput) {
  const Samples band(10, 1.0f), empty;
  EXPECT_EQ(cdf53()->multi_idwt(MultiDwtRef{{}, band}).error(), LumvetError{K::ZeroSizedInput});
  EXPECT_EQ(cdf53()->multi_idwt(MultiDwtRef{{band}, empty}).error(),
            LumvetError{K::ZeroSizedInput});
  EXPECT_EQ(cdf53()->idwt(DwtRef{Samples(2, 1.0f), empty}).error(),
            (LumvetError{K::DetailsSizeMismatch, 0, 1}));
}

TEST(Cdf53, AllocationFailuresBecomeCannotAllocate) {
  const Samples x = random_signal(301, 12);
  expect_every_allocation_failure_reported([&] { return cdf53()->multi_dwt(x, 4); });
  expect_every_allocation_failure_reported([&] { return cdf53()->multi_dwt(x, 1); });
  expect_every_allocation_failure_reported([&] { return cdf53()->dwt(x, 3); });
  auto multi = cdf53()->multi_dwt(x, 4);
  ASSERT_TRUE(multi.has_value());
  const MultiDwtRef ref = view_of(*multi);
  expect_every_allocation_failure_reported([&] { return cdf53()->multi_idwt(ref); });
  expect_every_allocation_failure_reported(
      [&] { return cdf53()->idwt(DwtRef{ref.approximation, ref.details.back()}); });
}

}  // namespace
}  // namespace lumvet

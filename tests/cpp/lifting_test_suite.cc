#include "lifting_test_suite.h"

#include <algorithm>
#include <random>

#include "driver_checks.h"
#include "lumvet_test_util.h"

namespace lumvet::testing_util {
namespace {

using K = LumvetErrorKind;

std::vector<std::size_t> lengths_to_check(std::size_t minimum, unsigned seed) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = minimum; n <= 300; ++n) lengths.push_back(n);
  // Chunk edges of the kernels (1024 and 2048 approximation samples) included.
  for (std::size_t n : {1024, 1025, 1026, 2046, 2047, 2048, 2049, 2050, 2051, 4094, 4095, 4096,
                        4097, 4098, 4099, 6144, 6145, 8192, 8193}) {
    lengths.push_back(n);
  }
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> dist(5000, 70000);
  for (int k = 0; k < 4; ++k) lengths.push_back(dist(rng));
  return lengths;
}

TEST_P(LiftingTransform, EveryTargetMatchesTheReference) {
  const LiftingCase& c = GetParam();
  const DwtExecutorHandle exec = c.make();
  const auto lengths = lengths_to_check(c.minimum_length, c.length_seed);
  std::size_t targets = 0;
  for_each_target([&] {
    ++targets;
    for (const std::size_t n : lengths) {
      SCOPED_TRACE("n = " + std::to_string(n));
      const Samples x = random_signal(n, static_cast<unsigned>(n));
      const auto [want_s, want_d] = c.forward(x);
      Samples s(want_s.size()), d(want_d.size());
      ASSERT_TRUE(exec->execute_forward(x, s, d).has_value());
      EXPECT_EQ(first_bit_difference(s, want_s), -1);
      EXPECT_EQ(first_bit_difference(d, want_d), -1);
      // The same level with its input pulled a chunk at a time.
      OrderedSource pulled{x};
      ASSERT_TRUE(exec->execute_forward_from(pulled.source(), n, s, d).has_value());
      EXPECT_EQ(pulled.next, n);
      EXPECT_EQ(first_bit_difference(s, want_s), -1);
      EXPECT_EQ(first_bit_difference(d, want_d), -1);

      // The inverse of arbitrary coefficients, not only of a forward result.
      const Samples a = random_signal(want_s.size(), static_cast<unsigned>(n + 1));
      const Samples b = random_signal(want_d.size(), static_cast<unsigned>(n + 2));
      Samples y(n);
      ASSERT_TRUE(exec->execute_inverse(a, b, y).has_value());
      const Samples want_y = c.inverse(a, b);
      EXPECT_EQ(first_bit_difference(y, want_y), -1);
      // Pulled bands, the approximation from the output's own upper half.
      Samples z(n, 0.0f);
      std::copy(a.begin(), a.end(), z.end() - static_cast<std::ptrdiff_t>(a.size()));
      const Samples upper(z.end() - static_cast<std::ptrdiff_t>(a.size()), z.end());
      OrderedSource pulled_a{upper, z.data() + (n - a.size())};
      OrderedSource pulled_b{b};
      ASSERT_TRUE(
          exec->execute_inverse_from(pulled_a.source(), a.size(), pulled_b.source(), b.size(), z)
              .has_value());
      EXPECT_EQ(pulled_a.next, a.size());
      EXPECT_EQ(first_bit_difference(z, want_y), -1);
      // Both bands pulled, the output pushed.
      OrderedSource pulled_s{a}, pulled_d{b};
      OrderedSink pushed;
      ASSERT_TRUE(exec->execute_inverse_to(pulled_s.source(), a.size(), pulled_d.source(), b.size(),
                                           pushed.sink())
                      .has_value());
      EXPECT_EQ(first_bit_difference(pushed.y, want_y), -1);
    }
  });
  EXPECT_GE(targets, 2u) << "only one target compiled in";
}

TEST_P(LiftingTransform, EveryTargetMatchesSingleLevelsOverSeveralLevels) {
  const LiftingCase& c = GetParam();
  const DwtExecutorHandle exec = c.make();
  const std::size_t m = c.minimum_length;
  for_each_target([&] {
    for (const std::size_t n : {m, m + 1, std::size_t{37}, std::size_t{1000}, std::size_t{1025},
                                std::size_t{4097}, std::size_t{65539}}) {
      SCOPED_TRACE("n = " + std::to_string(n));
      const Samples x = random_signal(n, static_cast<unsigned>(3 * n));
      std::size_t levels = 0;
      for (std::size_t k = n; k >= m; k -= k / 2) ++levels;
      auto multi = exec->multi_dwt(x, levels);
      ASSERT_TRUE(multi.has_value()) << multi.error().message();
      ASSERT_EQ(multi->levels.size(), levels);
      Samples current = x;
      std::vector<Samples> details;
      for (std::size_t k = 0; k < levels; ++k) {
        auto [s, d] = c.forward(current);
        EXPECT_EQ(first_bit_difference(multi->levels[k].approximation, s), -1) << "level " << k;
        EXPECT_EQ(first_bit_difference(multi->levels[k].details, d), -1) << "level " << k;
        details.push_back(d);
        current = s;
      }
      auto deepest = exec->dwt(x, levels);
      ASSERT_TRUE(deepest.has_value());
      EXPECT_EQ(first_bit_difference(deepest->approximation, current), -1);
      EXPECT_EQ(first_bit_difference(deepest->details, details.back()), -1);

      Samples restored = current;
      for (std::size_t k = levels; k-- > 0;) restored = c.inverse(restored, details[k]);
      auto got = exec->multi_idwt(view_of(*multi));
      ASSERT_TRUE(got.has_value()) << got.error().message();
      EXPECT_EQ(first_bit_difference(*got, restored), -1);
      expect_pushed_reconstruction(*exec, *multi);
    }
  });
}

TEST_P(LiftingTransform, RoundTripWithinFloatRounding) {
  const LiftingCase& c = GetParam();
  const DwtExecutorHandle exec = c.make();
  for (std::size_t n = c.minimum_length; n < 700; n += 7) {
    for (const std::size_t levels : {1, 2, 5, 9}) {
      const Samples x = random_signal(n, static_cast<unsigned>(n * 13 + levels));
      auto multi = exec->multi_dwt(x, levels);
      if (!multi) {
        EXPECT_EQ(multi.error(), LumvetError{K::BufferTooSmallForLevel});
        continue;
      }
      auto y = exec->multi_idwt(view_of(*multi));
      ASSERT_TRUE(y.has_value());
      ASSERT_EQ(y->size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_NEAR((*y)[i], x[i], 2e-4f)
            << "n = " << n << ", levels = " << levels << ", i = " << i;
      }
    }
  }
}

TEST_P(LiftingTransform, SizesWorkedByHand) {
  const LiftingCase& c = GetParam();
  const DwtExecutorHandle exec = c.make();
  EXPECT_EQ(exec->filter_length(), c.filter_length);
  EXPECT_EQ(exec->required_scratch_size(1000), 0u);
  for (const auto& [n, bands] : c.band_lengths) EXPECT_EQ(exec->dwt_size(n), bands) << "n = " << n;
  for (const auto& [a, d, n] : c.output_lengths) {
    EXPECT_EQ(exec->idwt_size(a, d), n) << "bands " << a << ", " << d;
  }
}

TEST_P(LiftingWorked, ForwardIsExactAndInverseRestores) {
  const auto& [make, level] = GetParam();
  const DwtExecutorHandle exec = make();
  for_each_target([&] {
    Samples s(level.approximation.size()), d(level.details.size());
    ASSERT_TRUE(exec->execute_forward(level.input, s, d).has_value());
    EXPECT_EQ(first_bit_difference(s, level.approximation), -1);
    EXPECT_EQ(first_bit_difference(d, level.details), -1);
    Samples y(level.input.size());
    ASSERT_TRUE(exec->execute_inverse(s, d, y).has_value());
    for (std::size_t i = 0; i < y.size(); ++i) {
      EXPECT_NEAR(y[i], level.input[i], level.inverse_tolerance) << "i = " << i;
    }
  });
}

TEST_P(LiftingTransform, ScratchIsIgnored) {
  const DwtExecutorHandle exec = GetParam().make();
  const Samples x = random_signal(101, 5);
  Samples s1(51), d1(50), s2(51), d2(50);
  ASSERT_TRUE(exec->execute_forward(x, s1, d1).has_value());
  ASSERT_TRUE(exec->execute_forward_with_scratch(x, s2, d2, {}).has_value());
  EXPECT_EQ(s1, s2);
  EXPECT_EQ(d1, d2);
}

TEST_P(LiftingTransform, ShortInputMessage) {
  const LiftingCase& c = GetParam();
  const std::size_t n = c.minimum_length - 1;
  Samples s(2), d(n / 2);
  auto status = c.make()->execute_forward(Samples(n, 0.0f), s, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message(), "Input size " + std::to_string(n) + " can't be less than " +
                                          std::to_string(c.minimum_length));
}

TEST_P(LiftingTransform, DriverRefusesShortLevels) {
  const LiftingCase& c = GetParam();
  const DwtExecutorHandle exec = c.make();
  const Samples too_short(c.minimum_length - 1, 1.0f);
  for (const std::size_t levels : {0, 1, 2, 8}) {
    auto multi = exec->multi_dwt(too_short, levels);
    ASSERT_FALSE(multi.has_value());
    EXPECT_EQ(multi.error().message(), "Buffer was too small for provided level");
    EXPECT_EQ(exec->dwt(too_short, levels).error(), LumvetError{K::BufferTooSmallForLevel});
  }
  // 100 -> 50 -> 25 -> 13 -> 7 -> 4 -> 2: six levels fit, a seventh does not.
  const Samples x = random_signal(100, 9);
  auto six = exec->multi_dwt(x, 6);
  ASSERT_TRUE(six.has_value());
  EXPECT_EQ(six->levels.back().approximation.size(), 2u);
  EXPECT_EQ(six->levels.back().details.size(), 2u);
  EXPECT_EQ(exec->multi_dwt(x, 7).error(), LumvetError{K::BufferTooSmallForLevel});
  EXPECT_EQ(exec->dwt(x, 7).error(), LumvetError{K::BufferTooSmallForLevel});
  EXPECT_EQ(exec->multi_dwt(x, ~std::size_t{0}).error(), LumvetError{K::BufferTooSmallForLevel});
}

TEST_P(LiftingTransform, ZeroLevelsIsOneLevel) {
  expect_zero_levels_is_one_level(*GetParam().make(), random_signal(77, 4));
}

TEST_P(LiftingTransform, MultiIdwtRejectsEmptyInput) {
  expect_multi_idwt_rejects_empty_input(*GetParam().make());
}

TEST_P(LiftingTransform, AllocationFailuresBecomeCannotAllocate) {
  expect_driver_allocation_failures_reported(*GetParam().make(), random_signal(301, 12));
}

TEST_P(LiftingForwardChecks, FailWithoutWriting) {
  const auto& [make, check] = GetParam();
  const auto& [n, na, nd, error] = check;
  const Samples x(n, 1.0f);
  Samples s(na, -7.0f), d(nd, -7.0f);
  OrderedSource pulled{x};
  for (const auto& status :
       {make()->execute_forward(x, s, d), make()->execute_forward_from(pulled.source(), n, s, d)}) {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), error);
  }
  EXPECT_EQ(pulled.next, 0u);
  EXPECT_EQ(s, Samples(na, -7.0f));
  EXPECT_EQ(d, Samples(nd, -7.0f));
}

TEST_P(LiftingInverseChecks, FailWithoutWriting) {
  const auto& [make, check] = GetParam();
  const auto& [n, na, nd, error] = check;
  const Samples s(na, 1.0f), d(nd, 1.0f);
  Samples y(n, -7.0f);
  auto status = make()->execute_inverse(s, d, y);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), error);
  EXPECT_EQ(y, Samples(n, -7.0f));
}

}  // namespace
}  // namespace lumvet::testing_util

// Border extension: the prepared divisor, BorderInterpolation and the arena
// writer (its dispatch slot under concurrent first use is in
// test_concurrency.cc).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "lumvet/border_mode.h"
#include "lumvet/filter_padding.h"

namespace lumvet {
namespace {

using border_mode::BorderInterpolation;
using border_mode::PreparedDivisor;
using filter_padding::write_arena_1d_impl;

constexpr BorderMode kModes[] = {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect,
                                 BorderMode::Reflect101, BorderMode::Zeros};

TEST(PreparedDivisor, MatchesHardwareDivision) {
  std::vector<std::int64_t> divisors;
  for (std::int64_t d = 1; d <= 600; ++d) {
    divisors.push_back(d);
    divisors.push_back(-d);
  }
  for (int s = 10; s < 63; ++s) {
    const std::int64_t p = std::int64_t{1} << s;
    for (std::int64_t d : {p - 1, p, p + 1, p / 3 * 2 + 1}) {
      divisors.push_back(d);
      divisors.push_back(-d);
    }
  }
  divisors.push_back(std::numeric_limits<std::int64_t>::max());
  divisors.push_back(std::numeric_limits<std::int64_t>::min());

  std::vector<std::int64_t> numerators;
  for (std::int64_t v = -1000; v <= 1000; ++v) numerators.push_back(v);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 200; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    numerators.push_back(static_cast<std::int64_t>(state));
    numerators.push_back(static_cast<std::int64_t>(state >> (i % 60)));
  }
  numerators.push_back(std::numeric_limits<std::int64_t>::max());
  numerators.push_back(std::numeric_limits<std::int64_t>::min() + 1);

  for (std::int64_t d : divisors) {
    const PreparedDivisor prepared = PreparedDivisor::prepare(d);
    for (std::int64_t v : numerators) {
      ASSERT_EQ(prepared.quotient(v), v / d) << v << " / " << d;
      if (d == std::numeric_limits<std::int64_t>::min()) continue;
      std::int64_t r = v % d;
      if (r < 0) r += d < 0 ? -d : d;
      ASSERT_EQ(prepared.modulo(v), r) << v << " mod " << d;
    }
  }
}

TEST(PreparedDivisor, PowerOfTwoNeedsNoMultiplier) {
  EXPECT_EQ(PreparedDivisor::prepare(64).multiplier, 0);
  EXPECT_EQ(PreparedDivisor::prepare(1).multiplier, 0);
  EXPECT_NE(PreparedDivisor::prepare(7).multiplier, 0);
}

// The mapping written out as the plain definitions, with hardware division.
std::int64_t reference_index(BorderMode mode, std::int64_t n, std::int64_t v) {
  auto mod = [](std::int64_t a, std::int64_t b) { return ((a % b) + b) % b; };
  switch (mode) {
    case BorderMode::Clamp:
      return std::min(n - 1, std::max<std::int64_t>(0, v));
    case BorderMode::Wrap:
      return mod(v, n);
    case BorderMode::Reflect:
      return v < 0 ? mod(-v - 1, n) : n - 1 - mod(v - n, n);
    case BorderMode::Reflect101:
      if (n == 1) return 0;
      return v < 0 ? mod(-v - 1, n - 1) + 1 : mod(2 * n - 3 - v, n - 1) + 1;
    default:
      return -1;
  }
}

std::vector<float> ramp(std::size_t n) {
  std::vector<float> x(n);
  std::iota(x.begin(), x.end(), 0.0f);
  return x;
}

std::vector<float> arena_of(std::size_t n, std::size_t left, std::size_t right, BorderMode mode) {
  const auto x = ramp(n);
  std::vector<float> arena(left + n + right, -99.0f);
  EXPECT_TRUE(write_arena_1d_impl(x, arena, left, right, mode).has_value());
  return arena;
}

TEST(Arena, ModeTableRows) {
  EXPECT_EQ(arena_of(5, 3, 3, BorderMode::Clamp),
            (std::vector<float>{0, 0, 0, 0, 1, 2, 3, 4, 4, 4, 4}));
  EXPECT_EQ(arena_of(5, 3, 3, BorderMode::Wrap),
            (std::vector<float>{2, 3, 4, 0, 1, 2, 3, 4, 0, 1, 2}));
  EXPECT_EQ(arena_of(5, 3, 3, BorderMode::Reflect),
            (std::vector<float>{2, 1, 0, 0, 1, 2, 3, 4, 4, 3, 2}));
  EXPECT_EQ(arena_of(5, 3, 3, BorderMode::Reflect101),
            (std::vector<float>{3, 2, 1, 0, 1, 2, 3, 4, 3, 2, 1}));
  EXPECT_EQ(arena_of(5, 3, 3, BorderMode::Zeros),
            (std::vector<float>{0, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0}));
}

TEST(Arena, ReflectUnevenPads) {
  EXPECT_EQ(arena_of(8, 6, 7, BorderMode::Reflect),
            (std::vector<float>{5, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(Arena, WrapOverSeveralPeriods) {
  EXPECT_EQ(arena_of(5, 7, 7, BorderMode::Wrap),
            (std::vector<float>{3, 4, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1}));
}

TEST(Arena, TinySignals) {
  for (BorderMode mode : kModes) {
    const std::vector<float> x = {7.5f};
    std::vector<float> arena(1 + 9 + 6);
    ASSERT_TRUE(write_arena_1d_impl(x, arena, 9, 6, mode).has_value());
    for (float s : arena) {
      if (mode == BorderMode::Zeros && s != 7.5f) {
        EXPECT_EQ(s, 0.0f);
      } else {
        EXPECT_EQ(s, 7.5f) << static_cast<int>(mode);
      }
    }
  }
  const std::vector<float> two = {1.0f, 2.0f};
  std::vector<float> arena(2 + 5 + 5);
  ASSERT_TRUE(write_arena_1d_impl(two, arena, 5, 5, BorderMode::Reflect101).has_value());
  EXPECT_EQ(arena, (std::vector<float>{2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2}));
}

TEST(Arena, GeometryOfTheEightTapFilter) {
  // A = L - 2 + 2 floor((n + L - 1) / 2), P = floor((A - n) / 2), Q = A - n - P.
  auto geometry = [](std::size_t n, std::size_t taps) {
    const std::size_t a = taps - 2 + 2 * ((n + taps - 1) / 2);
    const std::size_t p = (a - n) / 2;
    return std::array<std::size_t, 3>{a, p, a - n - p};
  };
  EXPECT_EQ(geometry(9, 8), (std::array<std::size_t, 3>{22, 6, 7}));
  EXPECT_EQ(geometry(8, 8), (std::array<std::size_t, 3>{20, 6, 6}));
}

TEST(Arena, PadsFollowTheMappingAndInterpolationAgrees) {
  for (BorderMode mode : kModes) {
    for (std::size_t n = 1; n <= 23; ++n) {
      for (std::size_t pad : {std::size_t{0}, std::size_t{1}, n / 2, n, 2 * n + 3}) {
        const auto x = ramp(n);
        const auto arena = arena_of(n, pad, pad + 1, mode);
        const BorderInterpolation border(mode, 0, static_cast<std::int64_t>(n));
        for (std::size_t k = 0; k < arena.size(); ++k) {
          const std::int64_t v = static_cast<std::int64_t>(k) - static_cast<std::int64_t>(pad);
          float expected;
          if (v >= 0 && v < static_cast<std::int64_t>(n)) {
            expected = x[static_cast<std::size_t>(v)];
          } else if (mode == BorderMode::Zeros) {
            expected = 0.0f;
          } else {
            const std::int64_t idx = reference_index(mode, static_cast<std::int64_t>(n), v);
            expected = x[static_cast<std::size_t>(idx)];
            ASSERT_EQ(border.index(v), idx) << "mode " << static_cast<int>(mode) << " n " << n;
          }
          ASSERT_EQ(arena[k], expected)
              << "mode " << static_cast<int>(mode) << " n " << n << " v " << v;
          ASSERT_EQ(border.sample(x.data(), v), expected);
        }
      }
    }
  }
}

TEST(Arena, ShortPadsAreTheMirrors) {
  // Pads below n (n - 1 for Reflect101) give the textbook mirrors.
  const std::int64_t n = 9;
  const BorderInterpolation reflect(BorderMode::Reflect, 0, n);
  const BorderInterpolation reflect101(BorderMode::Reflect101, 0, n);
  for (std::int64_t j = 1; j < n - 1; ++j) {
    EXPECT_EQ(reflect.index(-j), j - 1);
    EXPECT_EQ(reflect.index(n - 1 + j), n - j);
    EXPECT_EQ(reflect101.index(-j), j);
    EXPECT_EQ(reflect101.index(n - 1 + j), n - 1 - j);
  }
}

TEST(Arena, CopiesBitsExactly) {
  const std::vector<float> x = {-0.0f, std::bit_cast<float>(0x7FC01234u), 1e-45f};
  for (BorderMode mode : {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect}) {
    std::vector<float> arena(3 + 2 + 2);
    ASSERT_TRUE(write_arena_1d_impl(x, arena, 2, 2, mode).has_value());
    for (std::size_t k = 0; k < arena.size(); ++k) {
      const std::int64_t v = static_cast<std::int64_t>(k) - 2;
      const auto idx = static_cast<std::size_t>(v >= 0 && v < 3 ? v : reference_index(mode, 3, v));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(arena[k]), std::bit_cast<std::uint32_t>(x[idx]));
    }
  }
}

TEST(Arena, InconsistentGeometryIsAnInternalError) {
  const auto x = ramp(5);
  std::vector<float> arena(12, 42.0f);
  for (auto [left, right] : {std::pair<std::size_t, std::size_t>{3, 3},  // one short
                             {4, 4},                                     // one over
                             {13, 0},                                    // pad beyond arena
                             {std::size_t{0} - 1, 8}}) {                 // wrapping sum
    const auto status = write_arena_1d_impl(x, arena, left, right, BorderMode::Wrap);
    ASSERT_FALSE(status.has_value());
    const auto* error = std::get_if<filter_padding::InternalConfigurationError>(&status.error());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->message(), "This is an internal configuration error. Please, report it.");
    EXPECT_EQ(arena, std::vector<float>(12, 42.0f)) << "nothing is written";
  }
  // An empty signal would make the periodic modes divide by zero.
  std::vector<float> empty_arena(4);
  EXPECT_FALSE(write_arena_1d_impl({}, empty_arena, 2, 2, BorderMode::Wrap).has_value());
}

}  // namespace
}  // namespace lumvet

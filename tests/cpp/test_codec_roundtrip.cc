// Compress → decompress round trips over every method, scale, cut-off and
// coder, each sample checked against the error bound derived from the
// quantiser and the inverse transform (fuzz/roundtrip_bound.h).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "codec_test_util.h"
#include "fuzz/roundtrip_bound.h"
#include "quarnel/header.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

// Compresses, decompresses and checks length, saturation and the bound.
// Returns the largest error seen relative to the bound (for reporting).
double check_round_trip(std::span<const float> x, const CompressionOptions& options,
                        const std::string& what) {
  const auto stream = compress(x, options);
  EXPECT_TRUE(stream.has_value()) << what << ": " << stream.error().message();
  if (!stream) return 0.0;
  const auto y = decompress(*stream);
  EXPECT_TRUE(y.has_value()) << what << ": " << y.error().message();
  if (!y) return 0.0;
  EXPECT_EQ(y->size(), x.size()) << what;
  if (y->size() != x.size()) return 0.0;

  // The bound assumes no coefficient saturated: a signal that does shows up
  // as such rather than as a mysterious error.
  const QuarnelHeader h = header_of(*stream);
  const auto q = to_coefficients(coefficient_bytes(*stream));
  for (const std::int16_t v : q) {
    EXPECT_TRUE(v > -32768 && v < 32767) << what << ": a coefficient saturated";
    if (v <= -32768 || v >= 32767) return 0.0;
  }

  const double bound = roundtrip_bound(options, h);
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double error = std::fabs(static_cast<double>((*y)[i]) - sanitised(x[i]));
    EXPECT_LE(error, bound) << what << " sample " << i << " of " << x.size();
    if (error > bound) return error / bound;
    worst = std::max(worst, bound > 0 ? error / bound : 0.0);
  }
  return worst;
}

using Generator = std::vector<float> (*)(std::size_t, std::uint64_t);

std::vector<float> gen_sines(std::size_t n, std::uint64_t) {
  return sines(n);
}
std::vector<float> gen_ecg(std::size_t n, std::uint64_t) {
  return ecg_like(n);
}
std::vector<float> gen_walk(std::size_t n, std::uint64_t seed) {
  return random_walk(n, seed);
}
std::vector<float> gen_noise(std::size_t n, std::uint64_t seed) {
  return noise(n, seed, 3.0f);
}
std::vector<float> gen_triangle(std::size_t n, std::uint64_t) {
  return triangle_steps(n);
}
std::vector<float> gen_flat(std::size_t n, std::uint64_t) {
  return std::vector<float>(n, -4.5f);
}
// Noise with NaN and ±inf sprinkled in: the decoder reproduces the sanitised
// signal.
std::vector<float> gen_non_finite(std::size_t n, std::uint64_t seed) {
  std::vector<float> x = noise(n, seed, 0.5f);
  for (std::size_t i = 0; i < n; i += 5) {
    x[i] = (i / 5) % 3 == 0   ? std::numeric_limits<float>::quiet_NaN()
           : (i / 5) % 3 == 1 ? std::numeric_limits<float>::infinity()
                              : -std::numeric_limits<float>::infinity();
  }
  return x;
}

struct Family {
  const char* name;
  Generator make;
};

const Family kFamilies[] = {
    {"sines", gen_sines},          {"ecg", gen_ecg},           {"walk", gen_walk},
    {"noise", gen_noise},          {"triangle", gen_triangle}, {"flat", gen_flat},
    {"non-finite", gen_non_finite}};

std::string describe(const Family& f, std::size_t n, const CompressionOptions& o) {
  return std::string(f.name) + " n=" + std::to_string(n) + " " + name_of(o.method) + " scale " +
         std::to_string(o.scale) + " cutoff " + std::to_string(static_cast<int>(o.cutoff)) +
         " coder " + std::to_string(static_cast<int>(o.coder));
}

// Every length 1..300 for each method, default scale and cut-off, both coders.
TEST(RoundTrip, EveryShortLengthEveryMethod) {
  for (const WaveletMethod method : kMethods) {
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      const CompressionOptions options{.coder = coder, .method = method};
      for (std::size_t n = 1; n <= 300; ++n) {
        const Family& family = kFamilies[n % std::size(kFamilies)];
        check_round_trip(family.make(n, n), options, describe(family, n, options));
      }
    }
  }
}

// The whole option matrix: method × scale × cut-off × coder, each over a
// different spread of lengths in 1..300 and every signal family.
class OptionMatrix
    : public ::testing::TestWithParam<std::tuple<WaveletMethod, int, CutoffLevel, CoderChoice>> {};

TEST_P(OptionMatrix, RoundTripsWithinTheBound) {
  const auto [method, scale, cutoff, coder] = GetParam();
  const CompressionOptions options{.cutoff = cutoff,
                                   .coder = coder,
                                   .method = method,
                                   .scale = static_cast<std::uint8_t>(scale)};
  const std::size_t offset = static_cast<std::size_t>(method) * 31 + scale * 7 +
                             static_cast<std::size_t>(cutoff) * 3 + static_cast<std::size_t>(coder);
  for (std::size_t k = 0; k < 21; ++k) {
    const std::size_t n = 1 + (offset + k * 14) % 300;
    const Family& family = kFamilies[k % std::size(kFamilies)];
    check_round_trip(family.make(n, offset + k), options, describe(family, n, options));
  }
}

INSTANTIATE_TEST_SUITE_P(All, OptionMatrix,
                         ::testing::Combine(::testing::ValuesIn(kMethods), ::testing::Range(6, 13),
                                            ::testing::ValuesIn(kCutoffs),
                                            ::testing::Values(CoderChoice::deflate,
                                                              CoderChoice::arans)));

// Long signals: 10^5 samples, and lengths around multiples of 32.
TEST(RoundTrip, LongSignals) {
  const std::size_t lengths[] = {100000, 4096, 4097, 4098, 65536, 65537, 65538};
  for (const WaveletMethod method : kMethods) {
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
      const std::size_t n = lengths[i];
      const CoderChoice coder = i % 2 == 0 ? CoderChoice::arans : CoderChoice::deflate;
      const CutoffLevel cutoff = kCutoffs[i % 3];
      const std::uint8_t scale = static_cast<std::uint8_t>(6 + (i * 3) % 7);
      const CompressionOptions options{
          .cutoff = cutoff, .coder = coder, .method = method, .scale = scale};
      for (const Family& family : {kFamilies[0], kFamilies[1], kFamilies[3]}) {
        check_round_trip(family.make(n, i), options, describe(family, n, options));
      }
    }
  }
}

// The bound is not vacuous: at the finest settings the worst error uses a
// fair part of it, so a sloppier quantiser or a misplaced band would break it.
TEST(RoundTrip, TheBoundIsTight) {
  for (const WaveletMethod method : kMethods) {
    const std::vector<float> x = noise(4096, 77);
    const double used = check_round_trip(x, {.method = method, .scale = 6}, name_of(method));
    EXPECT_GT(used, 0.05) << name_of(method);
  }
}

}  // namespace
}  // namespace quarnel

// Compress → decompress round trips against an error bound derived from the
// quantiser and the inverse transform, and golden streams that pin the
// format.
//
// The bound. Let y be the normalised signal, c its wavelet coefficients and
// ĉ the dequantised ones. Quantisation truncates c · 2^s toward zero (the
// product is exact: a power-of-two scaling), so every kept coefficient is
// off by less than one step, δ = 2^-s; a detail zeroed by the cut-off had
// |c · 2^s| < T, so details are off by less than δ_D = max(1, T) · δ. The
// inverse is linear, so the reconstruction error is the inverse applied to
// the coefficient errors. One inverse level maps an approximation error
// bounded by E and a detail error bounded by δ_D to an output error of at
// most α · E + β · δ_D, where α and β are the largest absolute row sums of
// the level's synthesis matrices for the approximation and the details
// (measured below from impulse responses of the executor itself). Starting
// from E_L = δ at the coarsest level, E_(k-1) = α E_k + β δ_D gives the
// bound E_0 in the normalised domain. Float32 arithmetic in the forward and
// inverse transforms of values of magnitude at most ~16 over at most eight
// levels adds a little: kFloatSlack. Denormalising multiplies by the range
// r = max - min and adds the rounding of the normalisation and of the final
// fused multiply-add, a few units of 2^-24 relative to r and to |x|.
//
// The bound assumes no coefficient saturated at ±32767/-32768; the check
// asserts that, so a signal that saturates shows up as such rather than as a
// mysterious error.

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "codec_test_util.h"
#include "quarnel/band_layout.h"
#include "quarnel/compressor.h"
#include "quarnel/header.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

constexpr double kFloatSlack = 2e-5;

struct LevelGains {
  double approximation;  // α
  double details;        // β
};

// Largest absolute row sums of one inverse level, over a spread of lengths
// (interior rows and both borders, odd and even lengths).
LevelGains measure_gains(WaveletMethod method) {
  const auto executor = make_executor(method);
  LevelGains gains{0.0, 0.0};
  std::vector<std::size_t> lengths;
  for (std::size_t m = executor->filter_length(); m < executor->filter_length() + 40; ++m) {
    lengths.push_back(m);
  }
  for (const std::size_t m : {100, 101, 128, 255}) lengths.push_back(m);
  for (const std::size_t m : lengths) {
    const lumvet::DwtSize size = executor->dwt_size(m);
    for (int band = 0; band < 2; ++band) {
      std::vector<double> rows;
      const std::size_t count = band == 0 ? size.approximation_length : size.details_length;
      for (std::size_t j = 0; j < count; ++j) {
        std::vector<float> a(size.approximation_length, 0.0f), d(size.details_length, 0.0f);
        (band == 0 ? a : d)[j] = 1.0f;
        const auto out = executor->idwt({a, d});
        EXPECT_TRUE(out.has_value());
        if (!out) return gains;
        rows.resize(std::max(rows.size(), out->size()), 0.0);
        for (std::size_t i = 0; i < out->size(); ++i) rows[i] += std::fabs((*out)[i]);
      }
      const double worst = *std::max_element(rows.begin(), rows.end());
      double& gain = band == 0 ? gains.approximation : gains.details;
      gain = std::max(gain, worst);
    }
  }
  return gains;
}

const LevelGains& gains_of(WaveletMethod method) {
  static std::map<WaveletMethod, LevelGains> cache;
  auto it = cache.find(method);
  if (it == cache.end()) it = cache.emplace(method, measure_gains(method)).first;
  return it->second;
}

// E_0 in the normalised domain, as derived above.
double normalised_bound(WaveletMethod method, unsigned levels, std::uint8_t scale, int threshold) {
  const LevelGains& g = gains_of(method);
  const double step = std::ldexp(1.0, -scale);
  const double detail_step = std::max(1, threshold) * step;
  double e = step;
  for (unsigned k = 0; k < levels; ++k) e = g.approximation * e + g.details * detail_step;
  return e;
}

std::vector<float> sanitised(std::span<const float> x) {
  std::vector<float> s(x.begin(), x.end());
  for (auto& v : s) {
    if (std::isnan(v)) v = 0.0f;
    if (std::isinf(v)) v = v > 0 ? 1.0f : 0.0f;
  }
  return s;
}

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

  const QuarnelHeader h = header_of(*stream);
  const auto q = to_coefficients(coefficient_bytes(*stream));
  for (const std::int16_t v : q) {
    EXPECT_TRUE(v > -32768 && v < 32767) << what << ": a coefficient saturated";
    if (v <= -32768 || v >= 32767) return 0.0;
  }

  const std::vector<float> s = sanitised(x);
  const double range = static_cast<double>(h.max_value) - h.min_value;
  const double magnitude = std::max(std::fabs(h.min_value), std::fabs(h.max_value));
  double bound;
  if (range <= 1e-5) {
    bound = range;  // flat: every sample comes back as the minimum
  } else {
    const int t = detail_threshold(options.scale, options.cutoff);
    bound = range * (normalised_bound(options.method, h.levels, options.scale, t) + kFloatSlack +
                     std::ldexp(1.0, -21)) +
            std::ldexp(magnitude, -23);
  }
  double worst = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double error = std::fabs(static_cast<double>((*y)[i]) - s[i]);
    EXPECT_LE(error, bound) << what << " sample " << i << " of " << s.size();
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

// --- golden streams ---------------------------------------------------------

// Complete streams of fixed inputs, pinned by FNV-1a-64. For DEFLATE the
// payload bytes depend on the zlib build, so the header and the inflated
// coefficient bytes are pinned instead. The decoded samples are pinned too.
struct Golden {
  const char* name;
  std::vector<float> (*signal)();
  CompressionOptions options;
  std::uint64_t stream_hash;       // whole stream (rANS) or header + coefficients (DEFLATE)
  std::uint64_t coefficient_hash;  // coefficient byte string
  std::uint64_t output_hash;       // decoded float32 samples
};

std::vector<float> golden_triangle() {
  return triangle_steps(1000);
}
std::vector<float> golden_walk() {
  return random_walk(4097, 42);
}
std::vector<float> golden_noise() {
  return noise(300, 9);
}
std::vector<float> golden_short() {
  return triangle_steps(77);
}
std::vector<float> golden_deflate() {
  return random_walk(2000, 5);
}
std::vector<float> golden_one() {
  return {5.0f};
}

std::uint64_t hash_floats(std::span<const float> x) {
  return fnv1a64({reinterpret_cast<const std::uint8_t*>(x.data()), x.size_bytes()});
}

const Golden kGolden[] = {
    {"triangle default",
     golden_triangle,
     {},  //
     0xA38F18F3A74DE2C3ull,
     0x49C1CFF478FAA551ull,
     0x873DBD0EEB96BE8Eull},
    {"walk cdf53",
     golden_walk,
     {.cutoff = CutoffLevel::medium,
      .coder = CoderChoice::arans,
      .method = WaveletMethod::cdf53,
      .scale = 8},
     0xF5DCC4C4BA336F65ull,
     0xB75FDD7200DD8EF1ull,
     0x36E4B491F188525Bull},
    {"noise db4",
     golden_noise,
     {.cutoff = CutoffLevel::high,
      .coder = CoderChoice::arans,
      .method = WaveletMethod::db4,
      .scale = 12},
     0xA702C6258408F0EAull,
     0xD44D510FA4978136ull,
     0x6DB10B1189844F68ull},
    {"short sym4",
     golden_short,
     {.cutoff = CutoffLevel::low,
      .coder = CoderChoice::auto_,
      .method = WaveletMethod::sym4,
      .scale = 6},
     0x88B94A534D8208D6ull,
     0xC6E6B12B406DB6C1ull,
     0xA28F2BEA9D6948B5ull},
    {"walk deflate",
     golden_deflate,
     {.cutoff = CutoffLevel::low,
      .coder = CoderChoice::deflate,
      .method = WaveletMethod::cdf97,
      .scale = 10},
     0xB3923BB7EB8F5B4Full,
     0xBB0B47C969A40A77ull,
     0x9D463B9B0FB09007ull},
    {"one sample",
     golden_one,
     {},  //
     0x9B5C92232440EE85ull,
     0xEE85FAFD354B0935ull,
     0x4B05767F9BFFAD95ull},
};

// Every compiled SIMD target must give the same streams and samples.
TEST(GoldenStreams, KeepTheirBytesOnEveryTarget) {
  for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    for (const Golden& g : kGolden) {
      const std::string where = std::string(g.name) + " on " + hwy::TargetName(target);
      const std::vector<float> x = g.signal();
      const Bytes stream = compressed(x, g.options);
      const Bytes coefficients = coefficient_bytes(stream);
      std::uint64_t stream_hash;
      if (header_of(stream).coder == kCoderDeflate) {
        Bytes pinned(stream.begin(), stream.begin() + 32);  // header up to payload_length
        pinned.insert(pinned.end(), coefficients.begin(), coefficients.end());
        stream_hash = fnv1a64(pinned);
      } else {
        stream_hash = fnv1a64(stream);
      }
      EXPECT_EQ(stream_hash, g.stream_hash) << where;
      EXPECT_EQ(fnv1a64(coefficients), g.coefficient_hash) << where;
      const auto y = decompress(stream);
      ASSERT_TRUE(y.has_value()) << where;
      EXPECT_EQ(hash_floats(*y), g.output_hash) << where;
    }
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

// The smallest stream spelled out byte by byte: one sample of 5.0 with the
// default options. CDF 9/7 transforms 10 samples into two bands of 5 zero
// coefficients; the rANS body of 20 zero bytes follows.
TEST(GoldenStreams, OneSampleHeaderByteByByte) {
  const std::vector<float> x = {5.0f};
  const Bytes stream = compressed(x, CompressionOptions{});
  const Bytes expected_header = {
      'Q',  'R',  'N',  'L',  1, 1, 0x66, 0x33, 'c',  'f',
      '9',  '7',  1,    11,   1, 0, 0x01, 0x00, 0x00, 0x00,  // one sample
      0x00, 0x00, 0xA0, 0x40,                                // min 5.0
      0x00, 0x00, 0xA0, 0x40,                                // max 5.0
      0x00, 0x00, 0x00, 0x00,                                // mean 0.0
  };
  ASSERT_GE(stream.size(), kHeaderSize);
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 32), expected_header);
  const Bytes body = encode_stream(Bytes(20, 0));
  EXPECT_EQ(header_of(stream).payload_length, body.size());
  EXPECT_EQ(Bytes(stream.begin() + kHeaderSize, stream.end()), body);
  EXPECT_EQ(decompress(stream).value(), x);
}

// Invalid streams written out literally: they must keep failing with their
// message.
TEST(GoldenStreams, InvalidStreamsKeepFailing) {
  const auto base = [](std::uint8_t levels, std::uint8_t coder, std::uint32_t payload_length) {
    Bytes b = {'Q', 'R', 'N',    'L',  1,     1, 0x66, 0x33, 'd', 'b',
               '0', '4', levels, 9,    coder, 0, 100,  0,    0,   0,  // 100 samples
               0,   0,   0,      0,                                   // min 0.0
               0,   0,   0x80,   0x3F,                                // max 1.0
               0,   0,   0,      0};                                  // mean 0.0
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(payload_length >> (8 * i)));
    b.resize(kHeaderSize, 0);
    return b;
  };
  struct Case {
    Bytes stream;
    std::string message;
  };
  Bytes short_header = base(3, 0, 0);
  short_header.pop_back();
  Bytes reserved_block = base(3, 0, 1);
  reserved_block.push_back(0xFF);
  Bytes bad_context = base(3, 1, 8);
  bad_context.insert(bad_context.end(), {0, 9, 50, 1, 0, 0, 0, 0});
  Bytes stored_empty = base(3, 0, 5);
  stored_empty.insert(stored_empty.end(),
                      {0x01, 0x00, 0x00, 0xFF, 0xFF});  // final empty stored block
  const Case cases[] = {
      {short_header, "Header is invalid"},
      {base(11, 0, 0), "Can't decompress data, reason: Max supported level is 10 but it was 11"},
      {base(0, 0, 0), "Can't decompress data, reason: Min supported level is 1 but it was 0"},
      {base(3, 0, 1), "Can't decompress data, reason: Minimum data size is 53, but it was 52"},
      {reserved_block, "Can't decompress data, reason: corrupt deflate stream"},
      {bad_context, "Can't decompress data, reason: Inconsistent or oversized length in stream"},
      {stored_empty,
       "Can't decompress data, reason: Payload holds 0 coefficients, but the bands "
       "need 119"},
  };
  for (const Case& c : cases) {
    const auto result = decompress(c.stream);
    ASSERT_FALSE(result.has_value()) << c.message;
    EXPECT_EQ(result.error().message(), c.message);
  }
}

}  // namespace
}  // namespace quarnel

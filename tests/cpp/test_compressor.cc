#include "quarnel/compressor.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <tuple>
#include <vector>

#include "codec_test_util.h"
#include "quarnel/band_layout.h"
#include "quarnel/header.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bits(float v) {
  return std::bit_cast<std::uint32_t>(v);
}

// --- level count -----------------------------------------------------------

TEST(ComputeMaxLevels, WorkedExamples) {
  EXPECT_EQ(compute_max_levels(80, 10), 3u);     // q = 8
  EXPECT_EQ(compute_max_levels(1000, 10), 6u);   // q = 100
  EXPECT_EQ(compute_max_levels(100000, 8), 8u);  // q = 12500, r = 13, capped
  EXPECT_EQ(compute_max_levels(9, 10), 1u);      // shorter than the filter
  EXPECT_EQ(compute_max_levels(10, 10), 1u);     // q = 1, r = 0
  EXPECT_EQ(compute_max_levels(39, 10), 1u);     // q = 3, r = 1
  EXPECT_EQ(compute_max_levels(40, 10), 2u);     // q = 4
  EXPECT_EQ(compute_max_levels(2559, 10), 7u);   // q = 255
  EXPECT_EQ(compute_max_levels(2560, 10), 8u);   // q = 256
  EXPECT_EQ(compute_max_levels(2147483647, 6), 8u);
}

TEST(LevelCount, Table) {
  struct Row {
    std::size_t first, last;
    std::size_t cdf97, db4, cdf53;
  };
  const Row rows[] = {{1, 19, 1, 1, 1},        {20, 39, 2, 2, 2},
                      {40, 59, 3, 3, 3},       {60, 79, 4, 4, 4},
                      {80, 80, 3, 3, 3},       {1000, 1000, 6, 6, 7},
                      {48000, 48000, 8, 8, 8}, {2147483647, 2147483647, 8, 8, 8}};
  for (const Row& row : rows) {
    for (std::size_t n = row.first; n <= row.last; ++n) {
      EXPECT_EQ(level_count(n, 10), row.cdf97) << n;
      EXPECT_EQ(level_count(n, 8), row.db4) << n;
      EXPECT_EQ(level_count(n, 6), row.cdf53) << n;
    }
  }
}

// The level count chosen for every accepted length leaves every level's
// input at or above the driver's minimum: the filter length for the
// convolution wavelets, 3 samples for CDF 5/3 and 4 for CDF 9/7. So no valid
// signal ends in TransformFailed.
TEST(LevelCount, EveryLevelInputMeetsTheTransformMinimum) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 1; n <= 5000; ++n) lengths.push_back(n);
  for (std::size_t n = 5000; n < 2147483647; n = n * 3 + 1) lengths.push_back(n);
  lengths.push_back(2147483647);
  for (const WaveletMethod method : kMethods) {
    const auto executor = make_executor(method);
    const std::size_t filter = executor->filter_length();
    const std::size_t minimum = method == WaveletMethod::cdf53   ? 3
                                : method == WaveletMethod::cdf97 ? 4
                                                                 : filter;
    for (const std::size_t n : lengths) {
      const std::size_t levels = level_count(n, filter);
      ASSERT_GE(levels, 1u);
      ASSERT_LE(levels, 8u);
      std::size_t length = std::max(n, filter);
      for (std::size_t k = 0; k < levels; ++k) {
        ASSERT_GE(length, minimum) << name_of(method) << " n=" << n << " level " << k + 1;
        length = executor->dwt_size(length).approximation_length;
      }
    }
  }
}

// --- quantisation and thresholds ------------------------------------------

class Quantise : public ::testing::TestWithParam<std::tuple<float, float, int>> {};

TEST_P(Quantise, TruncatesTowardZeroAndSaturates) {
  const auto [c, m, q] = GetParam();
  EXPECT_EQ(quantise(c, m), q) << c << " * " << m;
}

INSTANTIATE_TEST_SUITE_P(
    Products, Quantise,
    ::testing::Values(std::make_tuple(1.9f, 1.0f, 1), std::make_tuple(-1.9f, 1.0f, -1),
                      std::make_tuple(2.7f, 1.0f, 2), std::make_tuple(0.99f, 1.0f, 0),
                      std::make_tuple(-0.99f, 1.0f, 0), std::make_tuple(-0.0f, 64.0f, 0),
                      std::make_tuple(40000.0f, 1.0f, 32767),
                      std::make_tuple(-40000.0f, 1.0f, -32768),
                      std::make_tuple(32767.9f, 1.0f, 32767),
                      std::make_tuple(-32768.9f, 1.0f, -32768),
                      std::make_tuple(-32767.5f, 1.0f, -32767),
                      // 0.1f * 4096 = 409.600006...: the product is formed in float32
                      std::make_tuple(0.1f, 4096.0f, 409), std::make_tuple(8.0f, 4096.0f, 32767),
                      std::make_tuple(-8.0f, 4096.0f, -32768), std::make_tuple(kNaN, 64.0f, 32767),
                      std::make_tuple(-kNaN, 4096.0f, 32767), std::make_tuple(kInf, 64.0f, 32767),
                      std::make_tuple(-kInf, 64.0f, -32768)));

TEST(DetailThreshold, Table) {
  const int expected[7][3] = {{0, 0, 0},  {0, 0, 0},  {1, 3, 7}, {1, 3, 7},
                              {2, 6, 14}, {2, 6, 14}, {3, 9, 21}};
  for (std::uint8_t scale = 6; scale <= 12; ++scale) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(detail_threshold(scale, kCutoffs[c]), expected[scale - 6][c])
          << int(scale) << " " << c;
    }
  }
}

// --- payload length field --------------------------------------------------

TEST(PayloadLengthField, RefusesWhatThirtyTwoBitsCannotHold) {
  EXPECT_EQ(payload_length_field(0).value(), 0u);
  EXPECT_EQ(payload_length_field(4294967295ull).value(), 4294967295u);
  for (const std::uint64_t size : {4294967296ull, 4294967297ull, 1ull << 40}) {
    const auto field = payload_length_field(size);
    ASSERT_FALSE(field.has_value()) << size;
    EXPECT_EQ(field.error().kind(), QuarnelErrorKind::UnsupportedConfiguration);
    EXPECT_EQ(field.error().message(),
              "Unsupported compression configuration 'Can't store a payload of " +
                  std::to_string(size) +
                  " bytes, the largest a stream can describe is 4294967295'");
  }
}

// --- length and range checks -----------------------------------------------

// The names every binding spells, in each enumeration's order; exact matches only.
TEST(OptionNames, NameEachValueOnce) {
  const std::vector<std::string_view> methods = {"cdf53", "cdf97", "db4", "sym4"};
  const std::vector<std::string_view> cutoffs = {"low", "medium", "high"};
  const std::vector<std::string_view> coders = {"deflate", "arans", "auto"};
  for (std::size_t i = 0; i <= methods.size(); ++i) {
    const auto method = static_cast<WaveletMethod>(i);
    EXPECT_EQ(method_name(method), i < methods.size() ? methods[i] : "");
    if (i < methods.size()) EXPECT_EQ(method_from_name(methods[i]), method);
  }
  for (std::size_t i = 0; i <= cutoffs.size(); ++i) {
    const auto cutoff = static_cast<CutoffLevel>(i);
    EXPECT_EQ(cutoff_name(cutoff), i < cutoffs.size() ? cutoffs[i] : "");
    if (i < cutoffs.size()) EXPECT_EQ(cutoff_from_name(cutoffs[i]), cutoff);
  }
  for (std::size_t i = 0; i <= coders.size(); ++i) {
    const auto coder = static_cast<CoderChoice>(i);
    EXPECT_EQ(coder_name(coder), i < coders.size() ? coders[i] : "");
    if (i < coders.size()) EXPECT_EQ(coder_from_name(coders[i]), coder);
  }
  using namespace std::string_view_literals;
  for (const std::string_view wrong : {"CDF97"sv, "cdf97\0"sv, "cdf9"sv, ""sv, "Auto"sv}) {
    EXPECT_FALSE(method_from_name(wrong) || cutoff_from_name(wrong) || coder_from_name(wrong))
        << wrong;
  }
}

TEST(Compress, EmptySignalIsRefused) {
  const auto stream = compress({}, CompressionOptions{});
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().kind(), QuarnelErrorKind::UnsupportedConfiguration);
  EXPECT_EQ(stream.error().message(),
            "Unsupported compression configuration 'Can't compress empty data'");
}

TEST(Compress, TooLongSignalIsRefusedBeforeAnySampleIsRead) {
  // The length check comes first, so the samples are never touched.
  float one = 0.0f;
  for (const std::size_t n : {std::size_t{2147483648}, std::size_t{1} << 40}) {
    const std::span<const float> huge(&one, n);
    const auto stream = compress(huge, CompressionOptions{});
    ASSERT_FALSE(stream.has_value());
    EXPECT_EQ(stream.error().message(),
              "Unsupported compression configuration 'Can't compress data bigger than "
              "2147483647, but data was " +
                  std::to_string(n) + "'");
  }
}

// Values the options class never builds, from a C++ caller: refused rather
// than written into a stream no decoder accepts.
TEST(Compress, OutOfRangeOptionsAreRefused) {
  const std::vector<float> x = sines(100);
  for (const int scale : {0, 5, 13, 255}) {
    const auto stream = compress(x, {.scale = static_cast<std::uint8_t>(scale)});
    ASSERT_FALSE(stream.has_value());
    EXPECT_EQ(stream.error(), QuarnelError::unsupported_scale(static_cast<std::uint8_t>(scale)));
  }
  const auto method = compress(x, {.method = static_cast<WaveletMethod>(4)});
  ASSERT_FALSE(method.has_value());
  EXPECT_EQ(method.error().message(),
            "Unsupported compression configuration 'Unknown option value: method 4, cutoff 0, "
            "coder 2'");
  EXPECT_FALSE(compress(x, {.cutoff = static_cast<CutoffLevel>(3)}).has_value());
  EXPECT_FALSE(compress(x, {.coder = static_cast<CoderChoice>(3)}).has_value());
  // The length checks come first.
  EXPECT_EQ(compress({}, {.scale = 99}).error().message(),
            "Unsupported compression configuration 'Can't compress empty data'");
}

TEST(Compress, RangeBeyondFloat32IsRefused) {
  const float big = std::numeric_limits<float>::max();
  for (const std::vector<float>& x :
       {std::vector<float>{3e38f, -3e38f}, std::vector<float>{0.0f, big, -big, 1.0f},
        std::vector<float>{-2e38f, kNaN, 2e38f}}) {
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      const auto stream = compress(x, CompressionOptions{.coder = coder});
      ASSERT_FALSE(stream.has_value());
      EXPECT_EQ(stream.error().message(),
                "Unsupported compression configuration 'Can't compress data whose range max - "
                "min exceeds the largest float32 value'");
    }
  }
}

// A long step (0, then 1 for the last tenth) puts approximation coefficients
// beyond what 16 bits hold at scale 12: clamping them would reconstruct the
// step off by more than half its range, so the compressor refuses. One scale
// coarser the same signal fits and round-trips.
class SaturatingStep : public ::testing::TestWithParam<WaveletMethod> {};

TEST_P(SaturatingStep, IsRefusedAtScale12AndFitsAtScale10) {
  std::vector<float> x(100000, 0.0f);
  for (std::size_t i = 90000; i < x.size(); ++i) x[i] = 1.0f;
  CompressionOptions options;
  options.method = GetParam();
  options.scale = 12;
  const auto refused = compress(x, options);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), QuarnelErrorKind::UnsupportedConfiguration);
  EXPECT_EQ(refused.error().message(),
            "Unsupported compression configuration 'A wavelet coefficient exceeds the 16-bit "
            "range at scale 12; use a lower scale'");

  options.scale = 10;
  const auto stream = compress(x, options);
  ASSERT_TRUE(stream.has_value()) << stream.error().message();
  const auto y = decompress(*stream);
  ASSERT_TRUE(y.has_value());
  float worst = 0.0f;
  for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs((*y)[i] - x[i]));
  EXPECT_LT(worst, 0.02f);
}

INSTANTIATE_TEST_SUITE_P(ClampingMethods, SaturatingStep,
                         ::testing::Values(WaveletMethod::cdf97, WaveletMethod::db4,
                                           WaveletMethod::sym4));

TEST(Compress, LargestRepresentableRangeStillDecodes) {
  const float half = std::numeric_limits<float>::max() / 2;
  const std::vector<float> x = {half, -half, 0.0f, half / 3, -half / 5, half};
  for (const WaveletMethod method : kMethods) {
    const Bytes stream = compressed(x, {.method = method});
    const QuarnelHeader h = header_of(stream);
    EXPECT_TRUE(std::isfinite(h.mean_value));
    const auto y = decompress(stream);
    ASSERT_TRUE(y.has_value()) << y.error().message();
    ASSERT_EQ(y->size(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      EXPECT_TRUE(std::isfinite((*y)[i]));
      EXPECT_NEAR((*y)[i], x[i], 0.01 * (2.0 * half)) << name_of(method) << " " << i;
    }
  }
}

// --- sanitising and normalisation ------------------------------------------

TEST(Compress, NonFiniteSamplesAreReplacedBeforeAnythingElse) {
  const std::vector<float> raw = {kNaN, kInf, -kInf, 2.0f, -kNaN, 0.5f};
  const std::vector<float> clean = {0.0f, 1.0f, 0.0f, 2.0f, 0.0f, 0.5f};
  for (const WaveletMethod method : kMethods) {
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      const CompressionOptions options{.coder = coder, .method = method};
      const Bytes stream = compressed(raw, options);
      EXPECT_EQ(stream, compressed(clean, options)) << name_of(method);
      const QuarnelHeader h = header_of(stream);
      EXPECT_EQ(h.min_value, 0.0f);
      EXPECT_EQ(h.max_value, 2.0f);
    }
  }
}

// Where both zeros reach an extreme, the header keeps the sign of the first,
// wherever the two fall among the samples the range is taken in parallel over.
TEST(Compress, ZeroExtremeKeepsTheSignOfItsFirstOccurrence) {
  for (const std::size_t length : {5u, 16u, 37u}) {
    for (std::size_t first = 0; first < length; ++first) {
      for (const float sign : {1.0f, -1.0f}) {
        std::vector<float> x(length, sign * 3.0f);  // all beyond the zero extreme
        x[first] = sign > 0 ? -0.0f : 0.0f;
        x[(first + 5) % length] = first % 3 == 0 ? kNaN : (sign > 0 ? 0.0f : -0.0f);
        x[(first + 9) % length] = -x[first];
        float lo = kInf, hi = -kInf;  // the sequential rule
        for (const float v : x) {
          const float y = std::isnan(v) ? 0.0f : v;
          lo = y < lo ? y : lo;
          hi = y > hi ? y : hi;
        }
        const QuarnelHeader h = header_of(compressed(x, CompressionOptions{}));
        EXPECT_EQ(bits(h.min_value), bits(lo)) << length << " " << first << " " << sign;
        EXPECT_EQ(bits(h.max_value), bits(hi)) << length << " " << first << " " << sign;
      }
    }
  }
}

TEST(Compress, OneSampleIsFlatAndExtendedToTheFilter) {
  const std::vector<float> x = {5.0f};
  const Bytes stream = compressed(x, CompressionOptions{});
  const QuarnelHeader h = header_of(stream);
  EXPECT_EQ(h.sample_count, 1u);
  EXPECT_EQ(h.levels, 1u);
  EXPECT_EQ(h.min_value, 5.0f);
  EXPECT_EQ(h.max_value, 5.0f);
  EXPECT_EQ(bits(h.mean_value), bits(0.0f));
  // CDF 9/7 transforms 10 samples: bands of 5 and 5, all zero.
  EXPECT_EQ(coefficient_bytes(stream), Bytes(20, 0));
}

TEST(Compress, RangeUpTo1em5IsFlat) {
  // max - min is exactly the float 1e-5 here, and just above it in the second.
  const float lo = 0.0f;
  const float at = 1e-5f;
  const float above = std::nextafter(1e-5f, 1.0f);
  std::vector<float> x = noise(300, 7, 0.5f);
  for (auto& v : x) v = (v + 1.0f) * 0.5f * at;  // inside [0, 1e-5]
  x[3] = lo;
  x[100] = at;
  const Bytes flat = compressed(x, {.coder = CoderChoice::deflate});
  EXPECT_EQ(bits(header_of(flat).mean_value), bits(0.0f));
  const Bytes zeros = coefficient_bytes(flat);
  EXPECT_FALSE(zeros.empty());
  for (const std::uint8_t b : zeros) ASSERT_EQ(b, 0);

  x[100] = above;
  const Bytes live = compressed(x, {.coder = CoderChoice::deflate});
  EXPECT_NE(bits(header_of(live).mean_value), bits(0.0f));
  const Bytes coefficients = coefficient_bytes(live);
  EXPECT_TRUE(std::any_of(coefficients.begin(), coefficients.end(), [](auto b) { return b != 0; }));
}

// The mean goes into the header, so its sum must be the sequential float32
// sum in index order; a pairwise or vectorised sum gives other bits here.
TEST(Compress, MeanIsTheSequentialFloat32Sum) {
  std::vector<float> x = noise(100003, 11);
  for (std::size_t i = 0; i < x.size(); i += 7) x[i] *= 1000.0f;  // wide spread of magnitudes
  const Bytes stream = compressed(x, {.coder = CoderChoice::deflate});
  const QuarnelHeader h = header_of(stream);

  float lo = kInf, hi = -kInf;
  for (const float v : x) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  const float inv = 1.0f / (hi - lo);
  std::vector<float> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = (x[i] - lo) * inv;
  float sequential = 0.0f;
  for (const float v : y) sequential += v;
  // Eight interleaved partial sums, as a vector loop would form them.
  float lanes[8] = {};
  for (std::size_t i = 0; i < y.size(); ++i) lanes[i % 8] += y[i];
  float vectorised = 0.0f;
  for (const float v : lanes) vectorised += v;
  const float n = static_cast<float>(x.size());
  ASSERT_NE(bits(sequential / n), bits(vectorised / n)) << "signal does not tell the orders apart";

  EXPECT_EQ(h.min_value, lo);
  EXPECT_EQ(h.max_value, hi);
  EXPECT_EQ(bits(h.mean_value), bits(sequential / n));
}

// --- stream shape ----------------------------------------------------------

TEST(Compress, DefaultOptionsHeaderOf1000Samples) {
  const std::vector<float> x = sines(1000);
  const Bytes stream = compressed(x, CompressionOptions{});
  ASSERT_GE(stream.size(), kHeaderSize);
  const Bytes first20(stream.begin(), stream.begin() + 20);
  const Bytes expected = {0x51, 0x52, 0x4E, 0x4C, 0x01, 0x01, 0x66, 0x33, 0x63, 0x66,
                          0x39, 0x37, 0x06, 0x0B, 0x01, 0x00, 0xE8, 0x03, 0x00, 0x00};
  EXPECT_EQ(first20, expected);
  for (std::size_t i = 36; i < kHeaderSize; ++i) EXPECT_EQ(stream[i], 0) << i;
}

TEST(Compress, AutoAndAransGiveIdenticalStreams) {
  for (const WaveletMethod method : kMethods) {
    const std::vector<float> x = ecg_like(777);
    const Bytes a = compressed(x, {.coder = CoderChoice::auto_, .method = method});
    const Bytes b = compressed(x, {.coder = CoderChoice::arans, .method = method});
    EXPECT_EQ(a, b) << name_of(method);
    EXPECT_EQ(header_of(a).coder, kCoderArans);
    EXPECT_EQ(header_of(compressed(x, {.coder = CoderChoice::deflate, .method = method})).coder,
              kCoderDeflate);
  }
}

TEST(Compress, CallerSamplesAreNotModified) {
  std::vector<float> x = {kNaN, 1.0f, kInf, 3.0f, -kInf};
  const std::vector<float> copy = x;
  compressed(x, CompressionOptions{});
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(bits(x[i]), bits(copy[i]));
}

// For every method, coder and length the stream is header + payload_length
// bytes, records the input length (not the extended one), and its payload
// decodes to exactly the band table's coefficient count.
TEST(Compress, StreamShapeFollowsTheBandTable) {
  for (const WaveletMethod method : kMethods) {
    const auto executor = make_executor(method);
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      for (std::size_t n = 1; n <= 300; n += (n < 40 ? 1 : 13)) {
        const std::vector<float> x = random_walk(n, n);
        const Bytes stream = compressed(x, {.coder = coder, .method = method});
        const QuarnelHeader h = header_of(stream);
        ASSERT_EQ(stream.size(), kHeaderSize + h.payload_length);
        EXPECT_EQ(h.sample_count, n);
        EXPECT_EQ(h.levels, level_count(n, executor->filter_length()));
        EXPECT_EQ(h.method_tag, method_tag(method));
        const BandLayout layout = band_layout(*executor, n, h.levels);
        EXPECT_EQ(coefficient_bytes(stream).size(), 2 * layout.coefficient_count())
            << name_of(method) << " n=" << n;
      }
    }
  }
}

TEST(Compress, FiveSamplesWithCdf97AreTwentyCoefficientBytes) {
  const std::vector<float> x = {1.0f, 4.0f, -2.0f, 0.5f, 3.0f};
  for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
    const Bytes stream = compressed(x, {.coder = coder});
    EXPECT_EQ(header_of(stream).sample_count, 5u);
    EXPECT_EQ(coefficient_bytes(stream).size(), 20u);
  }
}

// The quantised coefficients are the wavelet coefficients of the normalised
// signal truncated toward zero: never larger in magnitude, never further than
// one step away, same sign. A signal spanning exactly [0, 1] normalises to
// x - mean without rounding, so the oracle needs only the executor.
TEST(Compress, CoefficientsAreTheTruncatedTransformInBandOrder) {
  std::vector<float> x = random_walk(1500, 3);
  float lo = kInf, hi = -kInf;
  for (const float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
  for (auto& v : x) v = std::round((v - lo) / (hi - lo) * 65536.0f) / 65536.0f;  // exact in [0, 1]
  for (const WaveletMethod method : kMethods) {
    for (const std::uint8_t scale : {6, 9, 12}) {
      const Bytes stream =
          compressed(x, {.coder = CoderChoice::deflate, .method = method, .scale = scale});
      const QuarnelHeader h = header_of(stream);
      ASSERT_EQ(h.min_value, 0.0f);
      ASSERT_EQ(h.max_value, 1.0f);
      std::vector<float> y(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) y[i] = x[i] - h.mean_value;
      const auto executor = make_executor(method);
      const auto dwt = executor->multi_dwt(y, h.levels);
      ASSERT_TRUE(dwt.has_value());
      std::vector<float> expected = dwt->levels.back().approximation;
      const std::size_t approximation = expected.size();
      for (const auto& level : dwt->levels) {
        expected.insert(expected.end(), level.details.begin(), level.details.end());
      }
      const auto q = to_coefficients(coefficient_bytes(stream));
      ASSERT_EQ(q.size(), expected.size());
      const float m = static_cast<float>(1 << scale);
      const int threshold = detail_threshold(scale, CutoffLevel::low);
      for (std::size_t i = 0; i < q.size(); ++i) {
        const float v = expected[i] * m;
        ASSERT_LT(std::fabs(v), 32767.0f) << "signal saturates";
        if (q[i] == 0) {
          EXPECT_LT(std::fabs(v), i < approximation ? 1.0f : std::max(1, threshold)) << i;
        } else {
          EXPECT_LE(std::fabs(static_cast<float>(q[i])), std::fabs(v)) << i;
          EXPECT_GT(static_cast<float>(q[i]) * v, 0.0f) << i;
          EXPECT_LT(std::fabs(v - static_cast<float>(q[i])), 1.0f) << i;
        }
      }
    }
  }
}

// Cut-off only ever zeroes detail coefficients of magnitude below its
// threshold: the approximation and every larger detail are those of the
// low cut-off.
TEST(Compress, CutoffZeroesOnlySmallDetails) {
  const std::vector<float> x = noise(4000, 5);
  for (const WaveletMethod method : kMethods) {
    for (std::uint8_t scale = 6; scale <= 12; ++scale) {
      const CompressionOptions low{.coder = CoderChoice::deflate, .method = method, .scale = scale};
      const auto q_low = to_coefficients(coefficient_bytes(compressed(x, low)));
      const auto executor = make_executor(method);
      const BandLayout layout =
          band_layout(*executor, x.size(), level_count(x.size(), executor->filter_length()));
      const std::size_t approximation = layout.approximation_length();
      for (const CutoffLevel cutoff : {CutoffLevel::medium, CutoffLevel::high}) {
        CompressionOptions options = low;
        options.cutoff = cutoff;
        const Bytes stream = compressed(x, options);
        if (scale <= 7) {
          EXPECT_EQ(stream, compressed(x, low)) << "nothing is zeroed at scale " << int(scale);
        }
        const auto q = to_coefficients(coefficient_bytes(stream));
        ASSERT_EQ(q.size(), q_low.size());
        const int t = detail_threshold(scale, cutoff);
        std::size_t zeroed = 0;
        for (std::size_t i = 0; i < q.size(); ++i) {
          if (i < approximation || q[i] != 0) {
            ASSERT_EQ(q[i], q_low[i]) << i;
            if (i >= approximation) {
              ASSERT_GE(std::abs(int(q[i])), t) << i;
            }
          } else {
            ASSERT_TRUE(q_low[i] == 0 || std::abs(int(q_low[i])) < t) << i << ": " << q_low[i];
            zeroed += q_low[i] != 0;
          }
        }
        if (scale >= 8) {
          EXPECT_GT(zeroed, 0u) << "the test signal exercises the threshold";
        }
      }
    }
  }
}

}  // namespace
}  // namespace quarnel

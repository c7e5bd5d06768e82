#include "quarnel/arans.h"

#include "quarnel/arans_reciprocal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "heap_probe.h"

namespace quarnel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Result = std::expected<Bytes, AransError>;

// ---------------------------------------------------------------------------------------
// Reference coder, written straight from the format's formulas: a division per bit, the
// (frequency, start) pairs kept as two 32-bit integers, words appended high byte first and
// the plane reversed at the end; the decoder allocates nothing up front.

void reference_adapt(std::uint16_t& p, unsigned bit) {
  int v = bit ? p - (p >> 4) : p + ((4096 - p) >> 4);
  p = static_cast<std::uint16_t>(std::clamp(v, 1, 4095));
}

Bytes reference_encode_plane(const Bytes& plane, unsigned context_bits) {
  if (plane.empty()) return {};
  std::vector<std::uint16_t> table(256u << context_bits, 2048);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  unsigned previous = 0;
  for (std::uint8_t b : plane) {
    const unsigned base = (previous >> (8 - context_bits)) * 256;
    unsigned node = 1;
    for (int k = 7; k >= 0; --k) {
      const unsigned bit = (b >> k) & 1;
      std::uint16_t& p = table[base + node];
      pairs.emplace_back(bit ? 4096 - p : p, bit ? p : 0);
      reference_adapt(p, bit);
      node = node * 2 + bit;
    }
    previous = b;
  }
  std::uint32_t x = 65536;
  Bytes out;
  for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) {
    const auto [freq, start] = *it;
    while (std::uint64_t{x} >= std::uint64_t{freq} << 20) {
      out.push_back(static_cast<std::uint8_t>(x >> 8));
      out.push_back(static_cast<std::uint8_t>(x));
      x >>= 16;
    }
    x = (x / freq) * 4096 + (x % freq) + start;
  }
  for (int k = 3; k >= 0; --k) out.push_back(static_cast<std::uint8_t>(x >> (8 * k)));
  std::reverse(out.begin(), out.end());
  return out;
}

void reference_put_leb128(Bytes& out, std::uint64_t v) {
  do {
    out.push_back(static_cast<std::uint8_t>((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
    v >>= 7;
  } while (v != 0);
}

Bytes reference_encode_stream(const Bytes& input) {
  const std::size_t n = input.size();
  if (n < 6) return input;
  Bytes planes[2];
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    planes[0].push_back(input[i]);
    planes[1].push_back(input[i + 1]);
  }
  const unsigned context_bits = n < 16384 ? 3 : 8;
  const Bytes coded0 = reference_encode_plane(planes[0], context_bits);
  const Bytes coded1 = reference_encode_plane(planes[1], context_bits);
  Bytes body = {static_cast<std::uint8_t>(n & 1), static_cast<std::uint8_t>(context_bits)};
  reference_put_leb128(body, n / 2);
  reference_put_leb128(body, coded0.size());
  body.insert(body.end(), coded0.begin(), coded0.end());
  body.insert(body.end(), coded1.begin(), coded1.end());
  if (n & 1) body.push_back(input.back());
  return body;
}

Result reference_decode_plane(std::span<const std::uint8_t> coded, std::size_t count,
                              unsigned context_bits) {
  if (count == 0) return Bytes{};
  if (coded.size() < 4) return std::unexpected(AransError::Truncated);
  std::uint32_t x = coded[0] | coded[1] << 8 | coded[2] << 16 | std::uint32_t{coded[3]} << 24;
  std::size_t pos = 4;
  std::vector<std::uint16_t> table(256u << context_bits, 2048);
  unsigned previous = 0;
  Bytes out;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned base = (previous >> (8 - context_bits)) * 256;
    unsigned node = 1;
    for (int k = 0; k < 8; ++k) {
      std::uint16_t& p = table[base + node];
      const unsigned bit = (x & 4095) < p ? 0 : 1;
      const std::uint32_t freq = bit ? 4096 - p : p;
      const std::uint32_t start = bit ? p : 0;
      x = freq * (x >> 12) + (x & 4095) - start;
      while (x < 65536) {
        if (coded.size() - pos < 2) return std::unexpected(AransError::Truncated);
        x = (x << 16) | coded[pos] | coded[pos + 1] << 8;
        pos += 2;
      }
      reference_adapt(p, bit);
      node = node * 2 + bit;
    }
    out.push_back(static_cast<std::uint8_t>(node - 256));
    previous = node - 256;
  }
  return out;
}

std::expected<std::uint64_t, AransError> reference_rv(std::span<const std::uint8_t> bytes,
                                                      std::size_t& pos) {
  std::uint64_t v = 0;
  for (int i = 0;; ++i) {
    if (pos >= bytes.size()) return std::unexpected(AransError::Truncated);
    const std::uint8_t b = bytes[pos++];
    if (i == 9) {
      if (b & 0x80) return std::unexpected(AransError::InconsistentLength);
      return v | std::uint64_t{b & 1u} << 63;
    }
    v |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (!(b & 0x80)) return v;
  }
}

Result reference_decode_stream(std::span<const std::uint8_t> body) {
  const std::size_t n = body.size();
  if (n < 6) return Bytes(body.begin(), body.end());
  const unsigned context_bits = body[1];
  if (context_bits > 8) return std::unexpected(AransError::InconsistentLength);
  std::size_t pos = 2;
  const auto pair_count = reference_rv(body, pos);
  if (!pair_count) return std::unexpected(pair_count.error());
  if (*pair_count > (1u << 28)) return std::unexpected(AransError::InconsistentLength);
  const auto plane0_size = reference_rv(body, pos);
  if (!plane0_size) return std::unexpected(plane0_size.error());
  if (*plane0_size > std::numeric_limits<std::size_t>::max() - pos) {
    return std::unexpected(AransError::InconsistentLength);
  }
  const std::size_t end0 = pos + *plane0_size;
  const std::size_t odd = body[0] & 1;
  if (n - odd < end0) return std::unexpected(AransError::Truncated);
  const auto plane0 =
      reference_decode_plane(body.subspan(pos, end0 - pos), *pair_count, context_bits);
  if (!plane0) return plane0;
  const auto plane1 =
      reference_decode_plane(body.subspan(end0, n - odd - end0), *pair_count, context_bits);
  if (!plane1) return plane1;
  Bytes out;
  for (std::size_t i = 0; i < *pair_count; ++i) {
    out.push_back((*plane0)[i]);
    out.push_back((*plane1)[i]);
  }
  if (odd) out.push_back(body[n - 1]);
  return out;
}

// ---------------------------------------------------------------------------------------
// Test data

enum class Kind { Random, Zeros, Ones, Laplacian, Runs, Text };

std::string kind_name(Kind k) {
  switch (k) {
    case Kind::Random:
      return "Random";
    case Kind::Zeros:
      return "Zeros";
    case Kind::Ones:
      return "AllFF";
    case Kind::Laplacian:
      return "Laplacian";
    case Kind::Runs:
      return "Runs";
    case Kind::Text:
      return "Text";
  }
  return "?";
}

// Quantised wavelet details: int16 from a Laplacian distribution, little-endian.
Bytes laplacian_coefficients(std::size_t n, double scale, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> magnitude(1.0 / scale);
  std::bernoulli_distribution negative(0.5);
  Bytes out(n);
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    const double v = std::min(std::round(magnitude(rng)), 32767.0);
    const auto c = static_cast<std::uint16_t>(static_cast<std::int16_t>(negative(rng) ? -v : v));
    out[i] = static_cast<std::uint8_t>(c);
    out[i + 1] = static_cast<std::uint8_t>(c >> 8);
  }
  if (n & 1) out[n - 1] = static_cast<std::uint8_t>(rng());
  return out;
}

Bytes make_data(Kind kind, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed * 1000003 + n);
  Bytes out(n);
  switch (kind) {
    case Kind::Random:
      for (auto& b : out) b = static_cast<std::uint8_t>(rng());
      break;
    case Kind::Zeros:
      break;
    case Kind::Ones:
      std::fill(out.begin(), out.end(), 0xFF);
      break;
    case Kind::Laplacian:
      return laplacian_coefficients(n, 6.0, seed + n);
    case Kind::Runs: {
      // Long runs of one value broken by short bursts of noise.
      std::size_t i = 0;
      while (i < n) {
        const std::size_t run = std::min<std::size_t>(n - i, rng() % 3000);
        const auto value = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : 0);
        std::fill_n(out.begin() + i, run, value);
        i += run;
        for (int k = 0; k < 5 && i < n; ++k) out[i++] = static_cast<std::uint8_t>(rng());
      }
      break;
    }
    case Kind::Text: {
      const std::string words = "the quick brown fox jumps over the lazy dog, 0123456789\n";
      for (auto& b : out) b = static_cast<std::uint8_t>(words[rng() % words.size()]);
      break;
    }
  }
  return out;
}

Bytes hex(std::initializer_list<int> v) {
  Bytes out;
  for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

// ---------------------------------------------------------------------------------------
// Messages

TEST(AransMessage, RendersFixedText) {
  EXPECT_EQ(message(AransError::Truncated), "Stream truncated");
  EXPECT_EQ(message(AransError::InconsistentLength), "Inconsistent or oversized length in stream");
}

// ---------------------------------------------------------------------------------------
// Worked examples

struct PlaneExample {
  Bytes plane;
  unsigned context_bits;
  Bytes coded;
};

class AransPlaneExample : public ::testing::TestWithParam<PlaneExample> {};

TEST_P(AransPlaneExample, EncodesByteForByteAndDecodesBack) {
  const auto& [plane, context_bits, coded] = GetParam();
  EXPECT_EQ(encode_plane(plane, context_bits), coded);
  EXPECT_EQ(reference_encode_plane(plane, context_bits), coded);
  EXPECT_EQ(decode_plane(coded, plane.size(), context_bits), plane);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, AransPlaneExample,
    ::testing::Values(PlaneExample{hex({0x41}), 3, hex({0x00, 0x10, 0x04, 0x01})},
                      PlaneExample{hex({0x00}), 3, hex({0x00, 0x00, 0x00, 0x01})},
                      PlaneExample{hex({0xFF}), 3, hex({0x00, 0xF8, 0x07, 0x01})},
                      PlaneExample{hex({0x41}), 8, hex({0x00, 0x10, 0x04, 0x01})},
                      PlaneExample{hex({0, 0, 0, 0}), 3,
                                   hex({0x18, 0x02, 0xA0, 0x10, 0x68, 0xD6})}));

TEST(AransStreamExample, ThreeCoefficients) {
  const Bytes input = hex({0x01, 0x00, 0xFF, 0xFF, 0x02, 0x00});
  const Bytes body = hex({0x00, 0x03, 0x03, 0x06, 0x03, 0x02, 0x1C, 0x01, 0x00, 0xF8, 0x03, 0x01,
                          0x18, 0x01, 0x00, 0xF8});
  EXPECT_EQ(encode_stream(input), body);
  EXPECT_EQ(decode_stream(body), input);
}

TEST(AransStreamExample, ShortInputsAndBodiesStayRaw) {
  for (std::size_t n = 0; n < 6; ++n) {
    const Bytes input = make_data(Kind::Random, n, 7);
    EXPECT_EQ(encode_stream(input), input) << n;
    // Any body this short is raw, whatever its bytes would mean in a coded body.
    EXPECT_EQ(decode_stream(input), input) << n;
  }
  EXPECT_EQ(decode_stream(hex({0x00, 0x09, 0xFF, 0xFF, 0xFF})),
            hex({0x00, 0x09, 0xFF, 0xFF, 0xFF}));
}

TEST(AransStreamExample, ContextBitsSwitchAt16KiB) {
  EXPECT_EQ(encode_stream(make_data(Kind::Laplacian, 16383, 1))[1], 3);
  EXPECT_EQ(encode_stream(make_data(Kind::Laplacian, 16384, 1))[1], 8);
}

TEST(AransStreamExample, OddInputKeepsItsLastByteRaw) {
  Bytes input = make_data(Kind::Laplacian, 1001, 3);
  input.back() = 0xA5;
  Bytes body = encode_stream(input);
  EXPECT_EQ(body[0], 1);
  EXPECT_EQ(body.back(), 0xA5);
  body.back() = 0x5A;
  input.back() = 0x5A;
  EXPECT_EQ(decode_stream(body), input);
}

// ---------------------------------------------------------------------------------------
// Malformed bodies

struct Malformed {
  std::string name;
  Bytes body;
  AransError error;
};

class AransMalformedBody : public ::testing::TestWithParam<Malformed> {};

TEST_P(AransMalformedBody, FailsWithTheStatedError) {
  const auto& [name, body, error] = GetParam();
  const auto result = decode_stream(body);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), error);
  EXPECT_EQ(reference_decode_stream(body).error(), error);
}

// A state of 65536 with no words: the first step needs a word.
#define STATE_65536 0x00, 0x00, 0x01, 0x00

INSTANTIATE_TEST_SUITE_P(
    Cases, AransMalformedBody,
    ::testing::Values(
        Malformed{"ContextBits9", hex({0x00, 0x09, 0x01, 0x04, STATE_65536, STATE_65536}),
                  AransError::InconsistentLength},
        Malformed{"ContextBits255", hex({0x00, 0xFF, 0x01, 0x04, STATE_65536, STATE_65536}),
                  AransError::InconsistentLength},
        // 2^28 passes the length check and fails for want of words...
        Malformed{"PairCount2Pow28",
                  hex({0x00, 0x03, 0x80, 0x80, 0x80, 0x80, 0x01, 0x04, STATE_65536, STATE_65536}),
                  AransError::Truncated},
        // ... 2^28 + 1 does not.
        Malformed{"PairCount2Pow28Plus1",
                  hex({0x00, 0x03, 0x81, 0x80, 0x80, 0x80, 0x01, 0x04, STATE_65536, STATE_65536}),
                  AransError::InconsistentLength},
        Malformed{"EndsInsidePairCount", hex({0x00, 0x03, 0x80, 0x80, 0x80, 0x80}),
                  AransError::Truncated},
        Malformed{"EndsBeforePlane0Size", hex({0x00, 0x03, 0x05, 0x80, 0x80, 0x80}),
                  AransError::Truncated},
        Malformed{"Plane0PastEnd", hex({0x00, 0x03, 0x01, 0x20, STATE_65536, STATE_65536}),
                  AransError::Truncated},
        // The trailing byte of an odd body is not part of plane 0.
        Malformed{"Plane0OverTrailingByte",
                  hex({0x01, 0x03, 0x01, 0x09, STATE_65536, STATE_65536, 0x07}),
                  AransError::Truncated},
        Malformed{"OverlongVarint",
                  hex({0x00, 0x03, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00,
                       0x04, STATE_65536}),
                  AransError::InconsistentLength},
        // plane0_size = 2^64 - 1: its end does not fit a size.
        Malformed{"Plane0EndOverflows",
                  hex({0x00, 0x03, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,
                       STATE_65536}),
                  AransError::InconsistentLength},
        Malformed{"Plane0ThreeBytes", hex({0x00, 0x03, 0x01, 0x03, 0x00, 0x00, 0x01, STATE_65536}),
                  AransError::Truncated},
        Malformed{"Plane0Empty", hex({0x00, 0x03, 0x01, 0x00, STATE_65536}), AransError::Truncated},
        Malformed{"Plane1ThreeBytes", hex({0x00, 0x03, 0x01, 0x04, STATE_65536, 0x00, 0x00, 0x01}),
                  AransError::Truncated},
        Malformed{
            "Plane1MissingWord",
            hex({0x00, 0x03, 0x01, 0x06, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, STATE_65536, 0x00}),
            AransError::Truncated}),
    [](const auto& info) { return info.param.name; });

TEST(AransMalformedBody, ZeroPairsNeedNoPlanes) {
  EXPECT_EQ(decode_stream(hex({0x00, 0x03, 0x00, 0x00, 0x00, 0x00})), Bytes{});
  EXPECT_EQ(decode_stream(hex({0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x42})), hex({0x42}));
}

TEST(AransMalformedBody, UnneededBytesAreAccepted) {
  const Bytes input = make_data(Kind::Laplacian, 4001, 11);
  const Bytes body = encode_stream(input);
  // Flag bits 1 to 7.
  Bytes flagged = body;
  flagged[0] |= 0xFE;
  EXPECT_EQ(decode_stream(flagged), input);
  // Padding after plane 0's words, inside its declared extent, and after plane 1's.
  std::size_t pos = 2;
  ASSERT_TRUE(rv(body, pos).has_value());
  const std::size_t size_at = pos;
  const std::uint64_t plane0_size = *rv(body, pos);
  ASSERT_LT(plane0_size + 3, 0x80u * 0x80u);
  ASSERT_EQ(pos - size_at, 2u);  // two-byte varint; keep it two bytes
  Bytes padded(body.begin(), body.begin() + size_at);
  padded.push_back(static_cast<std::uint8_t>(((plane0_size + 3) & 0x7F) | 0x80));
  padded.push_back(static_cast<std::uint8_t>((plane0_size + 3) >> 7));
  padded.insert(padded.end(), body.begin() + pos, body.begin() + pos + plane0_size);
  padded.insert(padded.end(), {0xDE, 0xAD, 0xBE});
  padded.insert(padded.end(), body.begin() + pos + plane0_size, body.end() - 1);
  padded.insert(padded.end(), {0x12, 0x34, 0x56, body.back()});
  EXPECT_EQ(decode_stream(padded), input);
}

TEST(AransDecodePlane, ShortPlanes) {
  for (std::size_t n = 0; n < 4; ++n) {
    const Bytes coded(n, 0x01);
    EXPECT_EQ(decode_plane(coded, 1, 3).error(), AransError::Truncated) << n;
    EXPECT_EQ(decode_plane(coded, 0, 3), Bytes{}) << n;
  }
  EXPECT_EQ(decode_plane(hex({1, 2, 3, 4, 5, 6, 7}), 0, 8), Bytes{});
  EXPECT_EQ(decode_plane(hex({STATE_65536}), 1, 9).error(), AransError::InconsistentLength);
}

// ---------------------------------------------------------------------------------------
// Varints

struct VarintCase {
  std::string name;
  Bytes bytes;
  std::size_t start;
  std::expected<std::uint64_t, AransError> value;
  std::size_t end;
};

class AransVarint : public ::testing::TestWithParam<VarintCase> {};

TEST_P(AransVarint, ReadsValueAndAdvances) {
  const auto& c = GetParam();
  std::size_t pos = c.start;
  EXPECT_EQ(rv(c.bytes, pos), c.value);
  EXPECT_EQ(pos, c.end);
}

const auto kTruncated = std::unexpected(AransError::Truncated);
const auto kInconsistent = std::unexpected(AransError::InconsistentLength);

INSTANTIATE_TEST_SUITE_P(
    Cases, AransVarint,
    ::testing::Values(
        VarintCase{"Zero", hex({0x00}), 0, 0, 1}, VarintCase{"Max1Byte", hex({0x7F}), 0, 127, 1},
        VarintCase{"TwoBytes", hex({0x80, 0x01}), 0, 128, 2},
        VarintCase{"ThreeBytes", hex({0xE5, 0x8E, 0x26, 0x99}), 0, 624485, 3},
        VarintCase{"FromOffset", hex({0xFF, 0xAC, 0x02}), 1, 300, 3},
        VarintCase{"NotShortest", hex({0x80, 0x80, 0x00}), 0, 0, 3},
        VarintCase{"Empty", Bytes{}, 0, kTruncated, 0},
        VarintCase{"PastEnd", hex({0x01}), 1, kTruncated, 1},
        VarintCase{"EndsInside", hex({0x80, 0x80}), 0, kTruncated, 2},
        VarintCase{"NineContinuations", Bytes(9, 0x80), 0, kTruncated, 9},
        VarintCase{"TenBytesMax", hex({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
                   0, std::numeric_limits<std::uint64_t>::max(), 10},
        VarintCase{"TenthDropsBits1To6",
                   hex({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7E}), 0, 0, 10},
        VarintCase{"TenthKeepsBit0",
                   hex({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7F}), 0,
                   std::uint64_t{1} << 63, 10},
        VarintCase{"TenthContinues",
                   hex({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), 0,
                   kInconsistent, 10}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------
// Round trips, and the fast encoder against the reference

class AransRoundTrip : public ::testing::TestWithParam<std::tuple<Kind, std::size_t>> {};

TEST_P(AransRoundTrip, StreamMatchesReferenceAndDecodesBack) {
  const auto [kind, n] = GetParam();
  const Bytes input = make_data(kind, n, 42);
  const Bytes body = encode_stream(input);
  EXPECT_EQ(body, reference_encode_stream(input));
  EXPECT_EQ(decode_stream(body), input);
  // The bound holds, and for random bytes, which cost about the most, it is within 15%.
  EXPECT_LE(body.size(), encode_stream_bound(n));
  if (kind == Kind::Random && n >= 1000) EXPECT_LE(encode_stream_bound(n), body.size() * 23 / 20);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, AransRoundTrip,
    ::testing::Combine(::testing::Values(Kind::Random, Kind::Zeros, Kind::Ones, Kind::Laplacian,
                                         Kind::Runs, Kind::Text),
                       ::testing::Values(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                         17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31,
                                         32, 33, 34, 35, 36, 37, 38, 39, 40, 255, 1000, 16383,
                                         16384, 16385, 100001, 3 << 20, (3 << 20) + 1)),
    [](const auto& info) {
      return kind_name(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param));
    });

class AransPlaneRoundTrip : public ::testing::TestWithParam<std::tuple<Kind, unsigned>> {};

TEST_P(AransPlaneRoundTrip, EveryContextWidth) {
  const auto [kind, context_bits] = GetParam();
  for (std::size_t n : {1u, 2u, 7u, 64u, 5000u, 70000u}) {
    const Bytes plane = make_data(kind, n, context_bits);
    const Bytes coded = encode_plane(plane, context_bits);
    ASSERT_EQ(coded, reference_encode_plane(plane, context_bits)) << n;
    EXPECT_EQ(decode_plane(coded, n, context_bits), plane) << n;
    // Decoding fewer bytes gives the prefix; decoding the same bytes from a padded plane too.
    EXPECT_EQ(decode_plane(coded, n / 2, context_bits),
              Bytes(plane.begin(), plane.begin() + n / 2));
    Bytes padded = coded;
    padded.insert(padded.end(), 5, 0xEE);
    EXPECT_EQ(decode_plane(padded, n, context_bits), plane) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Contexts, AransPlaneRoundTrip,
                         ::testing::Combine(::testing::Values(Kind::Random, Kind::Laplacian,
                                                              Kind::Runs, Kind::Text),
                                            ::testing::Range(0u, 9u)),
                         [](const auto& info) {
                           return kind_name(std::get<0>(info.param)) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

// Coefficients of very different scales: states and renormalisation words of every kind.
// A caller keeping only a prefix gets exactly that prefix, for raw, even and odd bodies
// and every cut around the pairs and the trailing byte; a damaged tail past the prefix
// still fails.
TEST(AransStreamExample, KeepingAPrefixDecodesTheRest) {
  for (const std::size_t n : {4u, 5u, 40000u, 40001u}) {
    const Bytes input = make_data(Kind::Laplacian, n, 7);
    const Bytes body = encode_stream(input);
    for (const std::size_t keep : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                   n / 2, n / 2 + 1, n - 1, n, n + 1}) {
      const Bytes prefix(input.begin(), input.begin() + std::min(keep, n));
      EXPECT_EQ(decode_stream(body, keep), prefix) << n << " " << keep;
    }
    if (n > 5) {
      const auto cut = std::span(body).first(body.size() - 2 - (n & 1));
      EXPECT_EQ(decode_stream(cut, 2), Result(std::unexpected(AransError::Truncated))) << n;
    }
  }
}

TEST(AransRoundTripScales, LaplacianScales) {
  for (double scale : {0.05, 0.5, 2.0, 30.0, 1000.0, 20000.0}) {
    for (std::size_t n : {999u, 40000u}) {
      const Bytes input = laplacian_coefficients(n, scale, n);
      const Bytes body = encode_stream(input);
      ASSERT_EQ(body, reference_encode_stream(input)) << scale << " " << n;
      EXPECT_EQ(decode_stream(body), input) << scale << " " << n;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Damaged bodies: the decoder agrees with the reference on every result and every error.

TEST(AransDamagedBody, DecoderAgreesWithReference) {
  std::mt19937_64 rng(2024);
  const Kind kinds[] = {Kind::Random, Kind::Laplacian, Kind::Runs, Kind::Zeros};
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n = 6 + rng() % (round % 10 == 0 ? 40000 : 600);
    const Bytes body = encode_stream(make_data(kinds[round % 4], n, round));
    Bytes damaged = body;
    switch (rng() % 5) {
      case 0:  // cut short
        damaged.resize(rng() % damaged.size());
        break;
      case 1:  // flip some bits
        for (int k = 0; k < 1 + int(rng() % 4); ++k) {
          damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        }
        break;
      case 2:  // random plane bytes after a valid header
        for (std::size_t k = 6; k < damaged.size(); ++k) {
          damaged[k] = static_cast<std::uint8_t>(rng());
        }
        break;
      case 3:  // zero a stretch (states below 2^16, zero words)
        std::fill_n(damaged.begin() + rng() % damaged.size() / 2, damaged.size() / 4, 0);
        break;
      case 4:  // another context width in the header
        damaged[1] = static_cast<std::uint8_t>(rng() % 10);
        break;
    }
    const Result expected = reference_decode_stream(damaged);
    const Result actual = decode_stream(damaged);
    ASSERT_EQ(actual, expected) << "round " << round;
  }
}

TEST(AransDamagedBody, PlaneDecoderAgreesWithReference) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 2000; ++round) {
    Bytes coded(rng() % 64);
    for (auto& b : coded) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0 : rng());
    const std::size_t count = rng() % 100;
    const unsigned context_bits = rng() % 9;
    ASSERT_EQ(decode_plane(coded, count, context_bits),
              reference_decode_plane(coded, count, context_bits))
        << "round " << round;
  }
}

// ---------------------------------------------------------------------------------------
// Plane ends and starts: the decoder reads a byte's words unchecked only while 16 bytes
// remain in the plane and the state is at least 2^16, and checks every read otherwise.
// Cuts and padding around that margin, and initial states below 2^16, must decode as the
// reference does.

class AransPlaneMargin : public ::testing::TestWithParam<std::tuple<Kind, unsigned>> {};

TEST_P(AransPlaneMargin, CutsAndPaddingNearTheEndAgreeWithReference) {
  const auto [kind, context_bits] = GetParam();
  for (std::size_t n : {1u, 2u, 9u, 40u, 777u, 5000u}) {
    const Bytes plane = make_data(kind, n, 100 + n);
    const Bytes coded = encode_plane(plane, context_bits);
    for (std::size_t cut = coded.size() > 40 ? coded.size() - 40 : 0; cut <= coded.size(); ++cut) {
      const std::span<const std::uint8_t> part(coded.data(), cut);
      ASSERT_EQ(decode_plane(part, n, context_bits), reference_decode_plane(part, n, context_bits))
          << n << " " << cut;
    }
    for (std::size_t pad = 1; pad <= 20; ++pad) {
      Bytes padded = coded;
      padded.insert(padded.end(), pad, static_cast<std::uint8_t>(37 * pad));
      ASSERT_EQ(decode_plane(padded, n, context_bits), plane) << n << " " << pad;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, AransPlaneMargin,
                         ::testing::Combine(::testing::Values(Kind::Random, Kind::Laplacian,
                                                              Kind::Zeros, Kind::Runs),
                                            ::testing::Values(0u, 3u, 8u)),
                         [](const auto& info) {
                           return kind_name(std::get<0>(info.param)) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

// A byte that needs several words at the very end of a plane: with one context row, runs
// of 0xFE, 0xFC, ..., 0x80 and 0x00 leave every node on the path of 0xFF expecting a 0, so
// the final 0xFF carries about 65 bits. Cut anywhere in its words, the plane must fail as
// the reference does rather than be read past its end.
TEST(AransPlaneMarginCrafted, CostlyLastByteCutAnywhere) {
  Bytes plane;
  for (unsigned lead = 8; lead-- > 0;) plane.insert(plane.end(), 200, 0xFF & ~(0xFFu >> lead));
  plane.push_back(0xFF);
  const Bytes coded = encode_plane(plane, 0);
  // The last byte alone moves the state by some 65 bits: at least 4 words.
  Bytes shorter(plane.begin(), plane.end() - 1);
  ASSERT_GE(coded.size(), encode_plane(shorter, 0).size() + 8);
  for (std::size_t cut = coded.size() - 24; cut <= coded.size(); ++cut) {
    const std::span<const std::uint8_t> part(coded.data(), cut);
    ASSERT_EQ(decode_plane(part, plane.size(), 0), reference_decode_plane(part, plane.size(), 0))
        << cut;
  }
}

// Both planes of a stream must have the margin for the fast path; cutting the body ends
// plane 1 at every point near the margin, with 3 and with 8 context bits.
class AransStreamMargin : public ::testing::TestWithParam<Kind> {};

TEST_P(AransStreamMargin, CutsNearTheEndAgreeWithReference) {
  for (std::size_t n : {40u, 1001u, 16385u, 40000u}) {
    const Bytes body = encode_stream(make_data(GetParam(), n, 200 + n));
    for (std::size_t cut = body.size() - 40; cut <= body.size(); ++cut) {
      const std::span<const std::uint8_t> part(body.data(), cut);
      ASSERT_EQ(decode_stream(part), reference_decode_stream(part)) << n << " " << cut;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, AransStreamMargin,
                         ::testing::Values(Kind::Random, Kind::Laplacian, Kind::Zeros, Kind::Runs),
                         [](const auto& info) { return kind_name(info.param); });

// Initial states below 2^16 (never written by the encoder) pull in several words at the
// first bit, through the checked path, before the fast path can take over.
class AransLowInitialState : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(AransLowInitialState, AgreesWithReference) {
  const std::uint32_t state = GetParam();
  std::mt19937_64 rng(state);
  for (int round = 0; round < 200; ++round) {
    Bytes coded = {static_cast<std::uint8_t>(state), static_cast<std::uint8_t>(state >> 8),
                   static_cast<std::uint8_t>(state >> 16), static_cast<std::uint8_t>(state >> 24)};
    const std::size_t words = rng() % 40;
    for (std::size_t k = 0; k < 2 * words; ++k) {
      coded.push_back(static_cast<std::uint8_t>(round % 3 == 0 && k < 6 ? 0 : rng()));
    }
    const std::size_t count = 1 + rng() % 20;
    const unsigned context_bits = rng() % 9;
    ASSERT_EQ(decode_plane(coded, count, context_bits),
              reference_decode_plane(coded, count, context_bits))
        << round;
  }
}

INSTANTIATE_TEST_SUITE_P(States, AransLowInitialState,
                         ::testing::Values(0u, 1u, 15u, 0x0FFFu, 0xFFFFu, 0x10000u));

// ---------------------------------------------------------------------------------------
// Memory

TEST(AransMemory, ClaimedLengthIsNotAllocatedUpFront) {
  const Bytes body =
      hex({0x00, 0x08, 0x80, 0x80, 0x80, 0x80, 0x01, 0x04, STATE_65536, STATE_65536});
  const auto stream =
      alloc_hook::run(0, [&] { EXPECT_EQ(decode_stream(body).error(), AransError::Truncated); });
  EXPECT_LT(stream.largest_request, std::size_t{4} << 20);
  const auto plane = alloc_hook::run(0, [] {
    EXPECT_EQ(decode_plane(hex({STATE_65536}), std::size_t{1} << 40, 8).error(),
              AransError::Truncated);
  });
  EXPECT_LT(plane.largest_request, std::size_t{4} << 20);
}

TEST(AransMemory, HighlyCompressibleBodiesGrowTheirOutput) {
  // 8 MiB of zeros codes to a few KiB: the output grows past the first allocation.
  const Bytes input(8 << 20, 0);
  const Bytes body = encode_stream(input);
  EXPECT_LT(body.size(), input.size() / 64);
  EXPECT_EQ(decode_stream(body), input);
}

TEST(AransMemory, UnobtainableOutputIsInconsistentLength) {
  const Bytes input = make_data(Kind::Random, 6 << 20, 5);
  const Bytes body = encode_stream(input);
  const Bytes plane = make_data(Kind::Random, 6 << 20, 6);
  const Bytes coded = encode_plane(plane, 8);
  alloc_hook::run(
      0,
      [&] {
        EXPECT_EQ(decode_stream(body).error(), AransError::InconsistentLength);
        EXPECT_EQ(decode_plane(coded, plane.size(), 8).error(), AransError::InconsistentLength);
      },
      /*fail_above=*/1 << 20);
}

// The encoder keeps one byte of undo bits per plane byte, its word buffers and the two
// tables: well under the 16 bytes per plane byte that storing every bit would take.
class AransEncoderMemory : public ::testing::TestWithParam<Kind> {};

TEST_P(AransEncoderMemory, WorkingSetIsAFewBytesPerPlaneByte) {
  const Bytes input = make_data(GetParam(), 2 << 20, 9);
  std::size_t body_size = 0;
  const std::size_t growth = peak_heap::during([&] { body_size = encode_stream(input).size(); });
  const std::size_t plane_bytes = input.size();  // both planes together
  EXPECT_LE(growth, 4 * plane_bytes + body_size + (512 << 10)) << growth;
}

INSTANTIATE_TEST_SUITE_P(Data, AransEncoderMemory,
                         ::testing::Values(Kind::Laplacian, Kind::Random, Kind::Zeros),
                         [](const auto& info) { return kind_name(info.param); });

// ---------------------------------------------------------------------------------------
// Reciprocal division

// For every frequency, the states where an inexact reciprocal would show first: the
// largest ones the encoder divides (x < f << 20), where the error term peaks, and a sweep
// of quotients at remainders f - 1 and 0.
TEST(AransReciprocal, ExactForEveryFrequencyAtWorstCaseStates) {
  const auto divide_by_frequency = [](std::uint32_t x, std::uint32_t f) {
    return arans_detail::divide_by_reciprocal(x, arans_detail::kReciprocal[f]);
  };
  for (std::uint32_t f = 1; f < 4096; ++f) {
    const std::uint32_t top = (f << 20) - 1;
    for (std::uint32_t k = 0; k < 2 * f && k <= top; ++k) {
      ASSERT_EQ(divide_by_frequency(top - k, f), (top - k) / f) << f << " " << top - k;
    }
    for (std::uint32_t q = 0; q < (1u << 20); q += 997) {
      ASSERT_EQ(divide_by_frequency(q * f + f - 1, f), q) << f << " " << q;
      ASSERT_EQ(divide_by_frequency(q * f, f), q) << f << " " << q;
    }
  }
}

// Every quotient at the largest remainder, for a spread of frequencies.
TEST(AransReciprocal, ExhaustiveQuotientsForSelectedFrequencies) {
  const auto divide_by_frequency = [](std::uint32_t x, std::uint32_t f) {
    return arans_detail::divide_by_reciprocal(x, arans_detail::kReciprocal[f]);
  };
  for (std::uint32_t f :
       {1u, 2u, 3u, 5u, 7u, 15u, 641u, 2047u, 2048u, 2049u, 3329u, 4081u, 4094u, 4095u}) {
    for (std::uint32_t q = 0; q < (1u << 20); ++q) {
      const std::uint32_t x = q * f + f - 1;
      ASSERT_EQ(divide_by_frequency(x, f), q) << f << " " << x;
    }
  }
}

}  // namespace
}  // namespace quarnel

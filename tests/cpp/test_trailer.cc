// The trailer: masks come back bit for bit, every damaged stream is refused
// or decodes exactly, and the format's own decoder still reads the stream.
#include "quarnel/trailer.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "quarnel/quarnel.h"
#include "quarnel/store.h"

namespace quarnel {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<float> ramp_with_gaps(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.05f * static_cast<float>(i) + 1.0f) * 3.0f;
  x[3] = std::bit_cast<float>(0x7FC00123u);  // a NaN with a payload
  x[4] = std::bit_cast<float>(0xFFC00000u);  // a negative NaN
  x[n / 2] = kInf;
  x[n / 2 + 1] = -kInf;
  x[n / 3] = -0.0f;  // equal to a fill of 0, but not the same bits
  for (std::size_t i = n - 20; i < n; ++i) x[i] = 0.0f;
  return x;
}

Bytes with_trailer(std::span<const float> x, const Trailer& t, CoderChoice coder) {
  Bytes stream = compress(x, {.coder = coder}).value();
  EXPECT_TRUE(append_trailer(stream, t).has_value());
  return stream;
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](float p, float q) {
           return std::bit_cast<std::uint32_t>(p) == std::bit_cast<std::uint32_t>(q);
         });
}

class TrailerCoders : public ::testing::TestWithParam<CoderChoice> {};

TEST_P(TrailerCoders, MaskedSamplesComeBackBitForBit) {
  const auto x = ramp_with_gaps(300);
  Trailer t = mask_of(std::span<const float>(x), 0.0);
  t.sample_rate = 44100.0;
  t.channels = 2;
  t.source_format = "PCM_24";
  t.target = TargetRecord{ErrorTarget::psnr, 60.0, 0.01, 61.5};
  t.signal_range = std::pair{-3.0, 3.0};
  const Bytes stream = with_trailer(x, t, GetParam());

  const auto read = read_trailer(stream);
  ASSERT_TRUE(read.has_value()) << read.error().message();
  ASSERT_TRUE(read->has_value());
  EXPECT_EQ(**read, t);
  // 2 NaNs, 2 infinities, -0 and the run of 20 zeros at the end.
  EXPECT_EQ(masked_count(t), 25u);

  const auto decoded = decompress_with_trailer(stream, 1).value();
  auto expected = decompress(stream).value();
  for (const MaskRun& r : t.mask) {
    for (std::uint64_t i = r.start; i < r.start + r.length; ++i) expected[i] = x[i];
  }
  EXPECT_TRUE(same_bits(decoded.samples, expected));

  // The format's own decoder ignores the trailer.
  const Bytes bare = compress(x, {.coder = GetParam()}).value();
  EXPECT_EQ(decompress(stream).value(), decompress(bare).value());
  EXPECT_TRUE(std::equal(bare.begin(), bare.end(), stream.begin()));
}

// Every single-bit flip is refused; one that decoded would have to give
// exactly the samples of the undamaged stream.
TEST_P(TrailerCoders, EveryBitFlipIsRefusedOrHarmless) {
  const auto x = ramp_with_gaps(64);
  const Bytes stream = with_trailer(x, mask_of(std::span<const float>(x), 0.0), GetParam());
  const auto good = decompress_with_trailer(stream, 1).value().samples;
  std::size_t refused = 0;
  for (std::size_t bit = 0; bit < 8 * stream.size(); ++bit) {
    Bytes damaged = stream;
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    const auto decoded = decompress_with_trailer(damaged, 1);
    if (!decoded) {
      ++refused;
      continue;
    }
    EXPECT_TRUE(same_bits(decoded->samples, good)) << "bit " << bit;
  }
  // The checksum covers every byte, the header's unchecked ones included.
  EXPECT_EQ(refused, 8 * stream.size());
}

INSTANTIATE_TEST_SUITE_P(Coders, TrailerCoders,
                         ::testing::Values(CoderChoice::deflate, CoderChoice::arans));

// Runs anywhere, across the blocks the scan skips whole, against a plain
// per-sample reference.
// Blocks hold runs across their edges, or a single special value alone.
template <typename T>
void expect_mask_matches_a_per_sample_scan(std::optional<double> fill) {
  constexpr T kHuge = std::numeric_limits<T>::infinity();
  std::vector<T> x(5000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = T(3) + static_cast<T>(i % 97) * T(0.25);
  const T nan = std::numeric_limits<T>::quiet_NaN();
  for (const auto& [from, to, value] :
       {std::tuple{0u, 3u, nan}, std::tuple{509u, 517u, kHuge}, std::tuple{1023u, 1025u, nan},
        std::tuple{1536u, 1537u, -kHuge}, std::tuple{2100u, 2101u, T(-0.0)},
        std::tuple{2600u, 2601u, T(0)}, std::tuple{3100u, 3101u, std::numeric_limits<T>::max()},
        std::tuple{3600u, 3601u, T(1.5)},
        std::tuple{4100u, 4101u, -std::numeric_limits<T>::denorm_min()},
        std::tuple{4999u, 5000u, nan}}) {
    for (unsigned i = from; i < to; ++i) x[i] = value;
  }
  const Trailer t = mask_of(std::span<const T>(x), fill);
  std::vector<bool> got(x.size(), false);
  for (const MaskRun& r : t.mask) {
    for (std::uint64_t i = r.start; i < r.start + r.length; ++i) {
      got[i] = true;
      using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
      EXPECT_EQ(t.values[r.value], std::bit_cast<Bits>(x[i])) << i;
    }
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(got[i], !std::isfinite(x[i]) || (fill && x[i] == *fill))
        << i << " fill " << fill.value_or(-1);
  }
}

TEST(Trailer, MaskRunsMatchAPerSampleScan) {
  for (const std::optional<double> fill :
       {std::optional<double>{}, std::optional{1.5}, std::optional{0.0}}) {
    expect_mask_matches_a_per_sample_scan<float>(fill);
    expect_mask_matches_a_per_sample_scan<double>(fill);
  }
}

TEST(Trailer, BareStreamsHaveNone) {
  const std::vector<float> x(100, 1.5f);
  const Bytes stream = compress(x, {}).value();
  const auto read = read_trailer(stream);
  ASSERT_TRUE(read.has_value());
  EXPECT_FALSE(read->has_value());
  EXPECT_EQ(decompress_with_trailer(stream, 1).value().samples, decompress(stream).value());
}

// Forged trailers with a valid checksum: the records are checked too.
TEST(Trailer, ForgedRecordsAreRefused) {
  std::vector<float> x(100);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1.0f + static_cast<float>(i) / 99.0f;
  const Bytes bare = compress(x, {}).value();
  const auto forged = [&](Bytes records) {
    Bytes s = bare;
    const std::uint32_t length = static_cast<std::uint32_t>(10 + records.size() + 4);
    s.insert(s.end(), {'Q', 'R', 'N', 'T', 1, 0});
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    s.insert(s.end(), records.begin(), records.end());
    const std::uint32_t crc = libdeflate_crc32(0, s.data(), s.size());
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return s;
  };
  const auto message = [&](const Bytes& s) {
    const auto r = read_trailer(s);
    return r ? std::string("accepted") : r.error().message();
  };
  EXPECT_EQ(message(forged({})), "accepted");
  EXPECT_EQ(message(forged({0x7F, 2, 9, 9})), "accepted");  // unknown, optional
  EXPECT_EQ(message(forged({0xFF, 0})), "stream damaged: unknown required trailer record 255");
  EXPECT_EQ(message(forged({3, 1, 2, 3, 1, 2})), "stream damaged: trailer record 3 twice");
  EXPECT_EQ(message(forged({3, 5, 2})), "stream damaged: trailer record cut short");
  // A run past the 100 samples: width 4, one value, one run at 99 of 2.
  EXPECT_EQ(message(forged({0x81, 10, 4, 1, 0, 0, 0xC0, 0x7F, 1, 99, 1, 0})),
            "stream damaged: mask run beyond the signal");
  EXPECT_EQ(message(forged({0x81, 10, 4, 1, 0, 0, 0xC0, 0x7F, 1, 98, 1, 0})), "accepted");
  // A NaN sample rate, and a target whose reached error is NaN.
  EXPECT_EQ(message(forged({2, 8, 0, 0, 0, 0, 0, 0, 0xF8, 0x7F})),
            "stream damaged: trailer holds sample rate nan is not a positive number");
  Bytes target = {5, 25, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};  // max error 1.0
  target.insert(target.end(), {0, 0, 0, 0, 0, 0, 0xF8, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(message(forged(target)), "stream damaged: trailer holds reached error nan or PSNR 0");
  // Corrections: 0x87 the first writers' layout, one list of gap and zigzag;
  // 0x88 gaps, sign bits and step counts less one apart.
  const auto deflated = [](const Bytes& list) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    Bytes out(64);
    out.resize(libdeflate_deflate_compress(c, list.data(), list.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
  };
  const auto corrections = [&](std::uint8_t type, std::uint8_t count, Bytes lists) {
    Bytes r = {type, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, count};
    r.insert(r.end(), lists.begin(), lists.end());
    r[1] = static_cast<std::uint8_t>(r.size() - 2);
    return r;
  };
  const Bytes gaps = deflated({3, 5}), signs = {0b10}, sizes = deflated({0, 0});
  Bytes split = {2, static_cast<std::uint8_t>(gaps.size())};
  split.insert(split.end(), gaps.begin(), gaps.end());
  split.insert(split.end(), signs.begin(), signs.end());
  split.push_back(2);
  split.insert(split.end(), sizes.begin(), sizes.end());
  Bytes interleaved = {4};
  for (const std::uint8_t b : deflated({3, 2, 5, 1})) interleaved.push_back(b);
  const std::vector<Correction> want = {{3, 1}, {9, -1}};
  for (const Bytes& record : {corrections(0x87, 2, interleaved), corrections(0x88, 2, split)}) {
    const auto t = read_trailer(forged(record));
    ASSERT_TRUE(t.has_value() && *t && (*t)->corrections) << record[0];
    EXPECT_EQ((*t)->corrections->list, want) << record[0];
    EXPECT_EQ((*t)->corrections->quantum, 0.5);
  }
  // 0x89 the same after a grid's origin and step; one list of corrections.
  const auto on_a_grid = [&](double step) {
    const Bytes plain = corrections(0x88, 2, split);
    Bytes r = {0x89, 0};
    for (const double v : {1.0, step}) {
      for (int i = 0; i < 8; ++i)
        r.push_back(static_cast<std::uint8_t>(std::bit_cast<std::uint64_t>(v) >> (8 * i)));
    }
    r.insert(r.end(), plain.begin() + 2, plain.end());
    r[1] = static_cast<std::uint8_t>(r.size() - 2);
    return r;
  };
  const auto gridded = read_trailer(forged(on_a_grid(0.25)));
  ASSERT_TRUE(gridded.has_value() && *gridded && (*gridded)->corrections);
  EXPECT_EQ((*gridded)->corrections->list, want);
  EXPECT_EQ((*gridded)->corrections->grid, (Grid{1.0, 0.25}));
  EXPECT_EQ(message(forged(on_a_grid(0.0))), "stream damaged: trailer holds grid of step 0 from 1");
  // Checksummed but no writer's: a grid finer than float32 tells apart (which
  // rounds every sample to an infinity), a source format that is not UTF-8.
  EXPECT_EQ(message(forged(on_a_grid(5e-324))),
            "stream damaged: trailer holds a grid of step 4.94066e-324 from 1 for a range of [1, "
            "2], which no writer makes");
  EXPECT_EQ(message(forged({4, 2, 'P', 0xFF})),
            "stream damaged: trailer holds a source format that is not UTF-8 text");
  Bytes both = corrections(0x88, 2, split);
  for (const std::uint8_t b : on_a_grid(0.25)) both.push_back(b);
  EXPECT_EQ(message(forged(both)), "stream damaged: trailer holds two lists of corrections");
  split[2 + gaps.size()] = 0b110;  // a sign for a third correction of two
  EXPECT_EQ(message(forged(corrections(0x88, 2, split))),
            "stream damaged: corrections sign bits beyond the count");
  EXPECT_EQ(message(forged(corrections(0x88, 101, split))),
            "stream damaged: more corrections than samples");
  Bytes junk = bare;
  junk.push_back(0);
  EXPECT_EQ(message(junk), "stream damaged: bytes after the payload are not a trailer");
  Bytes longer = forged({});
  longer.push_back(0);
  EXPECT_EQ(message(longer),
            "stream damaged: the trailer says 14 bytes, but 15 follow the payload");
}

// What a reader would call damaged is never written.
TEST(Trailer, WriterRefusesFieldsNoReaderAccepts) {
  const Bytes bare = compress(std::vector<float>(10, 1.0f), {}).value();
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Trailer> faulty(10);
  faulty[0].sample_rate = 0.0;
  faulty[1].channels = 0;
  faulty[2].target = TargetRecord{ErrorTarget::max_error, -1.0, 0.0, 0.0};
  faulty[3].target = TargetRecord{ErrorTarget::psnr, 60.0, kNan, 60.0};
  faulty[4].signal_range = std::pair{2.0, 1.0};
  faulty[5].signal_range = std::pair{0.0, kNan};
  faulty[6].corrections = Corrections{0.5, 1.0, {{3, 0}}};           // no steps
  faulty[7].corrections = Corrections{0.5, 1.0, {{4, 1}, {2, -1}}};  // not ascending
  faulty[8].corrections = Corrections{kNan, 1.0, {{10, 1}}};         // beyond, and no quantum
  faulty[9].corrections = Corrections{0.5, 1.0, {}, Grid{0.0, -1.0}};
  for (const Trailer& t : faulty) {
    Bytes s = bare;
    EXPECT_FALSE(append_trailer(s, t).has_value());
    EXPECT_EQ(s, bare);
  }
}

// Corrections move only their samples; on a grid, every sample then goes to
// its nearest grid point.
TEST(Trailer, CorrectionsReadBackAndMoveOnlyTheirSamples) {
  std::vector<float> x(3000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01f * static_cast<float>(i));
  for (const std::optional<Grid> grid : {std::optional<Grid>(), std::optional(Grid{0.01, 0.3})}) {
    Bytes stream = compress(x, {}).value();
    Trailer t;
    t.corrections = Corrections{0.125, 0.375, {{0, -3}, {7, 1}, {2999, 4}}, grid};
    t.mask = {{7, 1, 0}};  // the mask has the last word
    t.values = {std::bit_cast<std::uint32_t>(-1.5f)};
    ASSERT_TRUE(append_trailer(stream, t).has_value());
    EXPECT_EQ(read_trailer(stream).value(), t);
    const std::vector<float> bare = decompress(stream).value();
    const std::vector<float> y = decompress_with_trailer(stream, 1).value().samples;
    for (std::size_t i = 0; i < y.size(); ++i) {
      float want = i == 0 ? bare[i] - 0.375f : i == 2999 ? bare[i] + 0.5f : bare[i];
      if (grid) {
        want = static_cast<float>(0.01 + 0.3 * std::round((want - 0.01) / 0.3));
      }
      EXPECT_EQ(y[i], i == 7 ? -1.5f : want) << i;
    }
  }
  // Step counts to the ends of their type read, and are refused: no writer
  // moves a sample that far beyond its uncorrected error.
  Bytes extreme = compress(x, {}).value();
  Trailer e;
  e.corrections = Corrections{1.0, 1.0, {{1, INT64_MIN}, {2, INT64_MAX}}};
  ASSERT_TRUE(append_trailer(extreme, e).has_value());
  EXPECT_EQ(read_trailer(extreme).error().message(),
            "stream damaged: trailer holds a correction of -9223372036854775808 quanta of 1 for "
            "an uncorrected error of 1, which no writer makes");
}

// A stream without its trailer, or whose payload_length points past it, is
// refused by a reader that expects one; a header whose sample count the
// payload cannot hold is refused before the trailer's corrections are read.
TEST(Trailer, CutOrMisplacedTrailersAreRefused) {
  // A 32-byte trailer: flipping bit 5 of payload_length moves the payload's
  // end onto the stream's.
  std::vector<float> x(602);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.02f * static_cast<float>(i));
  x[50] = x[60] = x[70] = std::nanf("");
  const Bytes stream = compress_stored(std::span<const float>(x), {}, {}, 1).value();
  const std::uint32_t payload = read_header(stream).value().payload_length;
  ASSERT_EQ(stream.size() - kHeaderSize - payload, 32u);
  for (int bit = 0; bit < 32; ++bit) {
    Bytes flipped = stream;
    flipped[32 + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(decompress_with_trailer(flipped, 1).has_value()) << bit;
  }
  const Bytes cut(stream.begin(), stream.begin() + kHeaderSize + payload);
  EXPECT_TRUE(decompress_with_trailer(cut, 1).has_value());
  EXPECT_EQ(decompress_with_trailer(cut, 1, true).error().message(),
            "stream damaged: no trailer: the stream ends at its payload, but its writer adds one");

  // 2^31 - 1 samples claimed, a checksum made to match, and a million
  // corrections listed in a few kilobytes.
  Bytes forged = compress(std::vector<float>(100, 1.0f), {}).value();
  for (int i = 0; i < 4; ++i) forged[16 + i] = i < 3 ? 0xFF : 0x7F;
  Trailer t;
  t.corrections = Corrections{1.0, 1.0, std::vector<Correction>(1000000)};
  for (std::size_t i = 0; i < t.corrections->list.size(); ++i) t.corrections->list[i] = {i, 1};
  ASSERT_TRUE(append_trailer(forged, t).has_value());
  EXPECT_EQ(read_trailer(forged).error().message(),
            "Can't decompress data, reason: A payload of " +
                std::to_string(read_header(forged).value().payload_length) +
                " bytes can't hold 2147483647 samples");
}

TEST(Trailer, MaskOfFloat64KeepsItsOwnBits) {
  const double fill = 0.1;  // not a float32 value
  std::vector<double> x = {1.0, fill, fill, std::nan(""), 2.0, static_cast<float>(fill)};
  const Trailer t = mask_of(std::span<const double>(x), fill);
  ASSERT_EQ(t.value_width, 8);
  ASSERT_EQ(t.mask.size(), 2u);
  EXPECT_EQ(t.mask[0], (MaskRun{1, 2, 0}));
  EXPECT_EQ(t.mask[1].start, 3u);
  std::vector<double> back = {1.0, 0.0, 0.0, 0.0, 2.0, 0.0};
  apply_mask(t, std::span<double>(back));
  EXPECT_EQ(back[1], fill);
  EXPECT_TRUE(std::isnan(back[3]));
  EXPECT_EQ(back[5], 0.0);  // float32(0.1) is another value: not masked
}

}  // namespace
}  // namespace quarnel

namespace quarnel {
namespace {

// A sine with NaN inside and a fill value over its last third, as a chunk at
// the edge of a store is padded: the fill must neither widen the range nor
// cost the bound, and every masked sample comes back as it was.
template <typename T>
class StoredSignal : public ::testing::Test {};
using SampleTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(StoredSignal, SampleTypes);

TYPED_TEST(StoredSignal, FillAndNonFiniteAreMaskedAndTheBoundHolds) {
  using T = TypeParam;
  const std::size_t n = 3000;
  const double fill = -9999.0;
  std::vector<T> x(n);
  for (std::size_t i = 0; i < n; ++i)
    x[i] = static_cast<T>(std::sin(0.01 * static_cast<double>(i)));
  for (std::size_t i = 2000; i < n; ++i) x[i] = static_cast<T>(fill);
  x[10] = std::numeric_limits<T>::quiet_NaN();
  x[11] = std::numeric_limits<T>::infinity();

  BoundedOptions o;
  o.target = ErrorTarget::max_error;
  o.value = 1e-3;
  StoreOptions store;
  store.fill_value = fill;
  const auto result = compress_bounded_stored(std::span<const T>(x), o, store, 1);
  ASSERT_TRUE(result.has_value()) << result.error().message();
  const auto decoded = decompress_with_trailer(result->stream, 1).value();
  ASSERT_TRUE(decoded.trailer.has_value());
  double lo = 1.0, hi = -1.0;
  for (std::size_t i = 12; i < 2000; ++i) {
    lo = std::min(lo, static_cast<double>(x[i]));
    hi = std::max(hi, static_cast<double>(x[i]));
  }
  EXPECT_EQ(decoded.trailer->signal_range, (std::pair{lo, hi}));
  for (std::size_t i = 0; i < n; ++i) {
    if (i == 10) {
      EXPECT_TRUE(std::isnan(decoded.samples[i]));
    } else if (i == 11 || i >= 2000) {
      EXPECT_EQ(decoded.samples[i], static_cast<float>(x[i])) << i;
    } else {
      EXPECT_LE(std::abs(decoded.samples[i] - static_cast<double>(x[i])), 1e-3) << i;
    }
  }
  // Without the mask the padding sets the range, and the bound cannot hold.
  EXPECT_FALSE(compress_bounded(std::span<const T>(x), o, 1).has_value());
}

// A fill the signal itself takes (0 in a sine): only runs that stand for
// unwritten samples, at either end or long, are masked and come back as the
// fill; its other samples are coded as data, within the bound. A fill far
// outside the signal's range is masked wherever it is.
TYPED_TEST(StoredSignal, AFillInsideTheRangeMasksOnlyWhatWasNotWritten) {
  using T = TypeParam;
  const std::size_t n = 3000;
  for (const double fill : {0.0, -9999.0}) {
    std::vector<T> x(n);
    for (std::size_t i = 0; i < n; ++i)
      x[i] = static_cast<T>(std::sin(0.01 * static_cast<double>(i) + 0.5));
    const auto put = [&](std::size_t from, std::size_t count) {
      for (std::size_t i = from; i < from + count; ++i) x[i] = static_cast<T>(fill);
    };
    put(0, 3);        // an unwritten head
    put(400, 1);      // samples of the signal
    put(900, 10);
    put(1500, 300);   // an unwritten stretch
    put(n - 5, 5);    // an unwritten tail
    x[700] = std::numeric_limits<T>::quiet_NaN();
    using Runs = std::vector<std::pair<std::size_t, std::size_t>>;
    const Runs masked = fill == 0.0
                            ? Runs{{0, 3}, {700, 1}, {1500, 300}, {n - 5, 5}}
                            : Runs{{0, 3}, {400, 1}, {700, 1}, {900, 10}, {1500, 300}, {n - 5, 5}};
    BoundedOptions o;
    o.target = ErrorTarget::max_error;
    o.value = 1e-3;
    StoreOptions store;
    store.fill_value = fill;
    const Bytes streams[] = {compress_bounded_stored(std::span<const T>(x), o, store, 1).value().stream,
                             compress_stored(std::span<const T>(x), {}, store, 1).value()};
    for (const Bytes& stream : streams) {
      const auto decoded = decompress_with_trailer(stream, 1).value();
      ASSERT_TRUE(decoded.trailer.has_value());
      Runs runs;
      for (const MaskRun& r : decoded.trailer->mask) runs.emplace_back(r.start, r.length);
      EXPECT_EQ(runs, masked) << "fill " << fill;
      for (const auto& [start, length] : masked) {
        for (std::size_t i = start; i < start + length && i != 700; ++i) {
          EXPECT_EQ(decoded.samples[i], static_cast<float>(fill)) << i;
        }
      }
      EXPECT_LE(std::abs(decoded.samples[400] - static_cast<double>(x[400])), 1e-2);
    }
  }
}

// Short signals, where the estimates often miss and the whole space is
// searched: the corrections found on that stream's decode keep the bound.
TEST(StoredSignal, CorrectionsOfASearchedStreamKeepTheBound) {
  for (const std::size_t n : {3u, 17u, 64u, 300u}) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
      x[i] = static_cast<float>(i % 3) + ((i / 8) % 2 ? 4.0f : -4.0f);
    }
    for (const double bound : {0.2, 0.02, 1e-4}) {
      BoundedOptions o;
      o.target = ErrorTarget::max_error;
      o.value = bound;
      const auto stored = compress_bounded_stored(std::span<const float>(x), o, StoreOptions{}, 1);
      if (!stored) {
        EXPECT_EQ(stored.error().kind(), QuarnelErrorKind::BoundUnreachable);
        continue;
      }
      const auto back = decompress_with_trailer(stored->stream, 1).value();
      double largest = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        largest = std::max(largest, std::abs(static_cast<double>(back.samples[i]) - x[i]));
      }
      EXPECT_LE(largest, bound) << n;
      EXPECT_EQ(back.trailer->target->max_error, largest) << n << " " << bound;
    }
  }
}

// Where both zeros reach an extreme, the bounded stream's header and the
// trailer's range keep the sign of the first, wherever the two fall among the
// samples the range is taken in parallel over, non-finite ones among them.
TYPED_TEST(StoredSignal, ZeroExtremeKeepsTheSignOfItsFirstOccurrence) {
  using T = TypeParam;
  const auto bits = [](auto v) { return std::bit_cast<std::uint64_t>(static_cast<double>(v)); };
  BoundedOptions o;
  o.target = ErrorTarget::psnr;
  o.value = 40.0;
  for (const std::size_t length : {5u, 16u, 37u}) {
    for (std::size_t first = 0; first < length; ++first) {
      for (const T sign : {T(1), T(-1)}) {
        std::vector<T> x(length, sign * T(3));  // all beyond the zero extreme
        x[first] = sign > 0 ? T(-0.0) : T(0.0);
        x[(first + 5) % length] =
            first % 3 == 0 ? std::numeric_limits<T>::quiet_NaN() : (sign > 0 ? T(0.0) : T(-0.0));
        x[(first + 9) % length] = -x[first];
        T lo = std::numeric_limits<T>::infinity(), hi = -lo;  // the sequential rule
        for (const T v : x) {
          lo = v < lo ? v : lo;
          hi = v > hi ? v : hi;
        }
        const auto stored = compress_bounded_stored(std::span<const T>(x), o, StoreOptions{}, 1);
        ASSERT_TRUE(stored.has_value()) << stored.error().message();
        const auto range = read_trailer(stored->stream).value()->signal_range.value();
        EXPECT_EQ(bits(range.first), bits(lo)) << length << " " << first << " " << sign;
        EXPECT_EQ(bits(range.second), bits(hi)) << length << " " << first << " " << sign;
        const auto bare = compress_bounded(std::span<const T>(x), o, 1);
        ASSERT_TRUE(bare.has_value()) << bare.error().message();
        const float min_value = read_header(bare->stream).value().min_value;
        EXPECT_EQ(bits(min_value), bits(static_cast<float>(lo))) << length << " " << first;
      }
    }
  }
}

// A converter's counts scaled to units: under half a count's step, the
// stream may miss by nearly half a step, and readers of the trailer round
// back onto the grid, found from float32 values too when they are many
// thousand counts from the origin. A signal a hair off the grid is coded
// within the bound itself.
TYPED_TEST(StoredSignal, ValuesOnAGridComeBackFromACoarserStream) {
  using T = TypeParam;
  const double step = 0.005, bound = 0.1 * step;
  for (const long drift : {0, 3}) {  // counts every eighth sample
    std::vector<T> x(80000);         // longer than the grid is looked for in whole
    std::uint32_t state = 7;
    long count = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      count += static_cast<long>(state >> 30) - static_cast<long>(state >> 28 & 3);  // -3 to 3
      if (i % 8 == 0) count -= drift;
      x[i] = static_cast<T>(-3.1 + static_cast<double>(count) * step);
    }
    x[1] = std::numeric_limits<T>::quiet_NaN();  // between changes the grid is found from
    x[6] = -std::numeric_limits<T>::infinity();
    std::vector<T> off = x;
    for (std::size_t i = 0; i < off.size(); i += 2) off[i] += static_cast<T>(0.2 * step);
    BoundedOptions o;
    o.target = ErrorTarget::max_error;
    o.value = bound;
    // The drifting signal's range is too wide for the bound off the grid.
    for (const bool on_grid : {true, drift == 0 ? false : true}) {
      SCOPED_TRACE(testing::Message() << "drift " << drift << ", on the grid " << on_grid);
      const std::vector<T>& signal = on_grid ? x : off;
      const auto result = compress_bounded_stored(std::span<const T>(signal), o, StoreOptions{}, 1);
      ASSERT_TRUE(result.has_value()) << result.error().message();
      const auto decoded = decompress_with_trailer(result->stream, 1).value();
      double worst = 0.0;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!std::isfinite(signal[i])) continue;
        worst = std::max(worst, std::abs(decoded.samples[i] - static_cast<double>(signal[i])));
      }
      EXPECT_LE(worst, bound);
      EXPECT_EQ(result->max_error, worst);
      const Corrections& c = decoded.trailer.value().corrections.value();
      EXPECT_EQ(c.grid.has_value(), on_grid);
      if (on_grid) {
        EXPECT_NEAR(c.grid->step, step, step * 1e-6);
        EXPECT_GT(c.bare_max_error, 3 * bound);  // the stream itself missed by more
      }
    }
  }
}

TEST(StoredSignal, PlainEncoderCodesStandInsAndKeepsItsBytesOtherwise) {
  std::vector<float> x(500);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::cos(0.02f * static_cast<float>(i));
  const Bytes plain = compress(x, {}).value();
  const Bytes stored = compress_stored(x, {}, {}, 1).value();
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), stored.begin()));

  x[0] = x[1] = std::numeric_limits<float>::quiet_NaN();  // masked from the start
  x[250] = std::numeric_limits<float>::infinity();
  const auto decoded = decompress_with_trailer(compress_stored(x, {}, {}, 1).value(), 1).value();
  EXPECT_TRUE(std::isnan(decoded.samples[0]) && std::isnan(decoded.samples[1]));
  EXPECT_EQ(decoded.samples[250], x[250]);
  for (std::size_t i = 2; i < x.size(); ++i) {
    if (i != 250) {
      EXPECT_NEAR(decoded.samples[i], x[i], 1e-2) << i;
    }
  }
}

// Signals a careful user stores: hourly pressure in whole mbar and 16-bit
// audio scaled by 2^-15 (both on a grid), a converter's raw counts, and
// float32 and float64 values on no grid.
enum class Kept { pressure, audio, counts, smooth, offset };

template <typename T>
std::vector<T> kept_signal(Kept kind) {
  std::vector<T> x(6000);
  std::uint32_t state = 11;
  double walk = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const double u = static_cast<double>(state >> 8) / (1 << 24) - 0.5;  // -0.5 to 0.5
    const double t = static_cast<double>(i);
    walk = 0.99 * walk + 3000.0 * u;
    switch (kind) {
      case Kept::pressure:
        x[i] = static_cast<T>(std::round(1013.0 + 10.0 * std::sin(t / 27.0) + 6.0 * u));
        break;
      case Kept::audio:
        x[i] = static_cast<T>(std::round(walk + 8000.0 * std::sin(0.01 * t)) / 32768.0);
        break;
      case Kept::counts:
        x[i] = static_cast<T>(std::round(30000.0 * std::sin(0.37 * t) + 4000.0 * u));
        break;
      case Kept::smooth:
        x[i] = static_cast<T>(std::sin(0.01 * t) + 0.3 * std::sin(0.13 * t) + 0.02 * u);
        break;
      case Kept::offset:
        x[i] = static_cast<T>(1000.0 + 1e-3 * std::sin(0.01 * t));
        break;
    }
  }
  return x;
}

template <typename T>
double largest_miss(std::span<const T> x, std::span<const float> y) {
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    worst = std::max(worst, std::abs(static_cast<double>(y[i]) - static_cast<double>(x[i])));
  }
  return worst;
}

// On a grid every sample lies on, an exact stream is there to be had: a
// bound of 0 is met, and a PSNR is met by no larger a stream than that.
TYPED_TEST(StoredSignal, AnExactGridStreamMeetsZeroAndBoundsAnyPsnr) {
  using T = TypeParam;
  for (const Kept kind : {Kept::pressure, Kept::audio, Kept::counts}) {
    SCOPED_TRACE(static_cast<int>(kind));
    const std::vector<T> x = kept_signal<T>(kind);
    BoundedOptions o;
    o.target = ErrorTarget::max_error;
    o.value = 0.0;
    const auto exact = compress_bounded_stored(std::span<const T>(x), o, StoreOptions{}, 1);
    ASSERT_TRUE(exact.has_value()) << exact.error().message();
    EXPECT_EQ(largest_miss<T>(x, decompress_with_trailer(exact->stream, 1).value().samples), 0.0);
    o.target = ErrorTarget::psnr;
    for (const double psnr : {60.0, 90.0, 200.0}) {
      o.value = psnr;
      const auto met = compress_bounded_stored(std::span<const T>(x), o, StoreOptions{}, 1);
      ASSERT_TRUE(met.has_value()) << psnr << ": " << met.error().message();
      EXPECT_LE(met->stream.size(), exact->stream.size()) << psnr;
      EXPECT_GE(met->psnr, psnr);
    }
  }
}

// A refusal names the tightest figure the whole path reaches, corrections and
// grid included: given back as the target it is met, and a clearly tighter
// one is refused; a target the path does meet is never refused.
TYPED_TEST(StoredSignal, ARefusalNamesWhatTheCorrectionsMeet) {
  using T = TypeParam;
  const std::tuple<Kept, ErrorTarget, double> cases[] = {
      {Kept::counts, ErrorTarget::max_error, 0.499},
      {Kept::counts, ErrorTarget::max_error, 0.3},
      {Kept::smooth, ErrorTarget::max_error, 1e-5},
      {Kept::smooth, ErrorTarget::max_error, 1e-8},
      {Kept::smooth, ErrorTarget::max_error, 0.0},
      {Kept::offset, ErrorTarget::max_error, 0.0},
      {Kept::offset, ErrorTarget::relative_error, 1e-9}};
  for (const auto& [kind, target, value] : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(kind) << " " << value);
    const std::vector<T> x = kept_signal<T>(kind);
    double lo = x[0], hi = x[0];
    for (const T v : x) lo = std::min<double>(lo, v), hi = std::max<double>(hi, v);
    BoundedOptions o;
    o.target = target;
    o.value = value;
    const auto met = [&](double v) {
      o.value = v;
      const auto r = compress_bounded_stored(std::span<const T>(x), o, StoreOptions{}, 1);
      if (!r) {
        EXPECT_EQ(r.error().kind(), QuarnelErrorKind::BoundUnreachable);
        return r.error().message();
      }
      const double bound = target == ErrorTarget::max_error ? v : v * (hi - lo);
      EXPECT_LE(largest_miss<T>(x, decompress_with_trailer(r->stream, 1).value().samples), bound);
      return std::string();
    };
    const std::string refused = met(value);
    if (refused.empty()) continue;
    const std::string named = "allows is ";
    ASSERT_NE(refused.find(named), std::string::npos) << refused;
    const double tightest = std::strtod(refused.c_str() + refused.find(named) + named.size(), nullptr);
    EXPECT_EQ(met(tightest), "") << refused;
    EXPECT_NE(met(tightest / 1.5), "") << refused;
  }
}

}  // namespace
}  // namespace quarnel

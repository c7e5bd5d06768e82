#include "quarnel/raw_deflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "codec_test_util.h"
#include "heap_probe.h"
#include "quarnel/band_layout.h"
#include "quarnel/compressor.h"
#include "quarnel/decompressor.h"
#include "quarnel/header.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

std::string failure_of(std::span<const std::uint8_t> stream) {
  const auto result = decompress(stream);
  return result.has_value() ? std::string("(decoded)") : result.error().message();
}

void put_u32(Bytes& b, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes valid_stream(CoderChoice coder) {
  return compressed(sines(1000), {.coder = coder, .method = WaveletMethod::cdf97});
}

std::string reason(const std::string& text) {
  return "Can't decompress data, reason: " + text;
}

// --- failures in the order they are detected -------------------------------

struct Fault {
  const char* name;
  std::function<void(Bytes&)> apply;
  std::function<std::string(const Bytes&)> message;  // of the stream as damaged
  bool in_header = true;                             // read_header finds it too
};

std::vector<Fault> deflate_faults() {
  return {
      {"header short", [](Bytes& b) { b.resize(51); },
       [](const Bytes&) { return std::string("Header is invalid"); }},
      {"scale 13", [](Bytes& b) { b[13] = 13; },
       [](const Bytes&) { return std::string("Only scaled 6..12 is supported, but it was 13"); }},
      {"sample count 2^31", [](Bytes& b) { put_u32(b, 16, 2147483648u); },
       [](const Bytes&) {
         return reason("Can't decompress data bigger than 2147483647, but data was 2147483648");
       }},
      {"levels 11", [](Bytes& b) { b[12] = 11; },
       [](const Bytes&) { return reason("Max supported level is 10 but it was 11"); }},
      {"levels 0", [](Bytes& b) { b[12] = 0; },
       [](const Bytes&) { return reason("Min supported level is 1 but it was 0"); }},
      {"stream one byte short", [](Bytes& b) { b.pop_back(); },
       [](const Bytes& b) {
         return reason("Minimum data size is " + std::to_string(b.size() + 1) + ", but it was " +
                       std::to_string(b.size()));
       },
       false},
      {"reserved block type", [](Bytes& b) { b[kHeaderSize] = 0xFF; },
       [](const Bytes&) { return reason("corrupt deflate stream"); }, false},
      {"too few coefficients", [](Bytes& b) { put_u32(b, 16, 2000); },
       [](const Bytes&) {
         const auto executor = make_executor(WaveletMethod::cdf97);
         const auto needed = band_layout(*executor, 2000, 6).coefficient_count();
         return reason("Payload holds 1000 coefficients, but the bands need " +
                       std::to_string(needed));
       },
       false},
  };
}

TEST(Decompress, EachFailureAloneGivesItsMessage) {
  for (const Fault& fault : deflate_faults()) {
    Bytes stream = valid_stream(CoderChoice::deflate);
    fault.apply(stream);
    EXPECT_EQ(failure_of(stream), fault.message(stream)) << fault.name;
  }
}

// The header reader refuses what decompress() refuses in the header, with
// its error, and nothing else: it reads the header alone.
TEST(ReadHeader, RefusesWhatDecompressRefusesInTheHeader) {
  auto faults = deflate_faults();
  faults.push_back(
      {"levels 255", [](Bytes& b) { b[12] = 255; },
       [](const Bytes&) { return reason("Max supported level is 10 but it was 255"); }});
  for (const Fault& fault : faults) {
    Bytes stream = valid_stream(CoderChoice::deflate);
    fault.apply(stream);
    const auto header = read_header(stream);
    ASSERT_EQ(header.has_value(), !fault.in_header) << fault.name;
    if (!header) EXPECT_EQ(header.error().message(), fault.message(stream)) << fault.name;
  }
}

TEST(ReadHeader, GivesTheStoredFields) {
  const std::vector<float> x = sines(1000);
  const Bytes stream = compressed(x, {.cutoff = CutoffLevel::medium,
                                      .coder = CoderChoice::deflate,
                                      .method = WaveletMethod::db4,
                                      .scale = 9});
  const QuarnelHeader stored = header_of(stream);
  const StreamHeader expected = {
      .method = WaveletMethod::db4,
      .levels = stored.levels,
      .scale = 9,
      .coder = CoderChoice::deflate,
      .sample_count = 1000,
      .min_value = *std::ranges::min_element(x),
      .max_value = *std::ranges::max_element(x),
      .mean_value = stored.mean_value,
      .payload_length = static_cast<std::uint32_t>(stream.size() - kHeaderSize)};
  EXPECT_EQ(read_header(stream), expected);
  EXPECT_EQ(read_header(std::span(stream).first(kHeaderSize)), expected);
}

// Two faults at once: the one detected first is reported.
TEST(Decompress, TheFirstFailureInOrderIsReported) {
  const auto faults = deflate_faults();
  for (std::size_t i = 0; i < faults.size(); ++i) {
    for (std::size_t j = i + 1; j < faults.size(); ++j) {
      Bytes stream = valid_stream(CoderChoice::deflate);
      faults[j].apply(stream);
      faults[i].apply(stream);
      if (faults[i].name == std::string("sample count 2^31") &&
          faults[j].name == std::string("too few coefficients")) {
        continue;  // both write the sample count
      }
      if (faults[i].name == std::string("levels 11") && faults[j].name == std::string("levels 0")) {
        continue;  // both write the level count
      }
      EXPECT_EQ(failure_of(stream), faults[i].message(stream))
          << faults[i].name << " + " << faults[j].name;
    }
  }
}

TEST(Decompress, HeaderErrorsPassUnchanged) {
  EXPECT_EQ(failure_of({}), "Header is invalid");
  Bytes stream = valid_stream(CoderChoice::arans);
  stream[3] = 'M';
  EXPECT_EQ(decompress(stream).error(),
            QuarnelError::invalid_magic(std::array<std::uint8_t, 4>{'Q', 'R', 'N', 'M'}));
  stream = valid_stream(CoderChoice::arans);
  stream[14] = 2;
  EXPECT_EQ(failure_of(stream), "Unknown entropy coder 2");
  stream = valid_stream(CoderChoice::arans);
  put_u32(stream, 28, 0x7FC00000u);  // NaN mean
  EXPECT_EQ(failure_of(stream), "Header is invalid");
}

TEST(Decompress, RansPayloadErrorsCarryTheCoderMessage) {
  Bytes stream = valid_stream(CoderChoice::arans);
  ASSERT_GE(header_of(stream).payload_length, 6u);
  stream[kHeaderSize + 1] = 9;  // context bits above 8
  EXPECT_EQ(failure_of(stream), reason("Inconsistent or oversized length in stream"));

  // A body cut short inside its coded planes.
  stream = valid_stream(CoderChoice::arans);
  const std::uint32_t cut = 20;
  put_u32(stream, 32, cut);
  stream.resize(kHeaderSize + cut);
  EXPECT_EQ(failure_of(stream), reason("Stream truncated"));
}

TEST(Decompress, TransformFailureCarriesTheLibraryMessage) {
  // CDF 9/7 over 10 samples and 4 levels: the band table runs down to
  // two-sample bands that no forward transform produces, and the inverse
  // refuses them.
  QuarnelHeader h{.method_tag = kTagCdf97,
                  .levels = 4,
                  .scale = 11,
                  .coder = kCoderDeflate,
                  .sample_count = 10};
  const auto executor = make_executor(WaveletMethod::cdf97);
  const std::size_t count = band_layout(*executor, 10, 4).coefficient_count();
  const Bytes stream = make_stream(h, Bytes(2 * count, 0));
  const auto result = decompress(stream);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), QuarnelErrorKind::TransformFailed);
  // The text is the library's own message, unchanged.
  lumvet::MultiDwtRef bands;
  std::vector<float> zeros(count, 0.0f);
  const BandLayout layout = band_layout(*executor, 10, 4);
  bands.approximation = std::span<const float>(zeros.data(), layout.approximation_length());
  std::size_t offset = layout.approximation_length();
  for (const auto& level : layout.levels) {
    bands.details.emplace_back(zeros.data() + offset, level.details_length);
    offset += level.details_length;
  }
  const auto direct = executor->multi_idwt(bands);
  ASSERT_FALSE(direct.has_value());
  EXPECT_EQ(result.error().message(), direct.error().message());
}

// --- what is accepted ------------------------------------------------------

TEST(Decompress, StreamLengthRule) {
  for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
    const Bytes stream = valid_stream(coder);
    const auto exact = decompress(stream);
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(exact->size(), 1000u);
    Bytes longer = stream;
    longer.insert(longer.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x00});
    EXPECT_EQ(decompress(longer).value(), *exact);
  }
}

TEST(Decompress, LevelsUpToTenAreAccepted) {
  for (const WaveletMethod method : kMethods) {
    QuarnelHeader h{.method_tag = method_tag(method),
                    .levels = 10,
                    .scale = 8,
                    .coder = kCoderArans,
                    .sample_count = 5000,
                    .min_value = -1.0f,
                    .max_value = 1.0f};
    const auto executor = make_executor(method);
    const BandLayout layout = band_layout(*executor, 5000, 10);
    std::vector<std::int16_t> q(layout.coefficient_count(), 0);
    q[0] = 100;
    const auto result = decompress(make_stream(h, to_bytes(q)));
    ASSERT_TRUE(result.has_value()) << name_of(method) << ": " << result.error().message();
    EXPECT_EQ(result->size(), 5000u);
  }
}

// The bands take exactly what the table needs: a final odd byte and any
// coefficients past the last band change nothing.
TEST(Decompress, SurplusBytesAreIgnored) {
  for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
    const Bytes stream = valid_stream(coder);
    QuarnelHeader h = header_of(stream);
    const Bytes coefficients = coefficient_bytes(stream);
    const auto expected = decompress(stream).value();
    Bytes odd = coefficients;
    odd.push_back(0x7F);
    EXPECT_EQ(decompress(make_stream(h, odd)).value(), expected);
    Bytes more = coefficients;
    for (int i = 0; i < 301; ++i) more.push_back(static_cast<std::uint8_t>(i * 37));
    EXPECT_EQ(decompress(make_stream(h, more)).value(), expected);
  }
}

TEST(Decompress, TooFewCoefficientsAreRefusedBeforeAnyBandIsRead) {
  for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
    const Bytes stream = valid_stream(coder);
    const QuarnelHeader h = header_of(stream);
    Bytes coefficients = coefficient_bytes(stream);
    const std::size_t needed = coefficients.size() / 2;
    coefficients.pop_back();  // one byte short: the last coefficient is incomplete
    EXPECT_EQ(failure_of(make_stream(h, coefficients)),
              reason("Payload holds " + std::to_string(needed - 1) +
                     " coefficients, but the bands need " + std::to_string(needed)));
    // No payload at all.
    Bytes empty(stream.begin(), stream.begin() + kHeaderSize);
    put_u32(empty, 32, 0);
    EXPECT_EQ(failure_of(empty),
              reason("Payload holds 0 coefficients, but the bands need " + std::to_string(needed)));
  }
}

// A DEFLATE payload that stops before its final block yields what it
// inflated; input after the final block is ignored.
TEST(Decompress, DeflateEdgesOfThePayload) {
  const Bytes stream = valid_stream(CoderChoice::deflate);
  const Bytes coefficients = coefficient_bytes(stream);
  const auto expected = decompress(stream).value();

  Bytes unfinished = zlib_deflate(coefficients, /*finish=*/false);
  Bytes cut(stream.begin(), stream.begin() + kHeaderSize);
  put_u32(cut, 32, static_cast<std::uint32_t>(unfinished.size()));
  cut.insert(cut.end(), unfinished.begin(), unfinished.end());
  EXPECT_EQ(decompress(cut).value(), expected);

  Bytes padded_payload(stream.begin() + kHeaderSize, stream.end());
  padded_payload.insert(padded_payload.end(), {0xFF, 0xFF, 0x00, 0x13});
  Bytes padded(stream.begin(), stream.begin() + kHeaderSize);
  put_u32(padded, 32, static_cast<std::uint32_t>(padded_payload.size()));
  padded.insert(padded.end(), padded_payload.begin(), padded_payload.end());
  EXPECT_EQ(decompress(padded).value(), expected);
}

TEST(Decompress, OutputHasExactlySampleCountSamples) {
  for (const WaveletMethod method : kMethods) {
    for (const std::size_t n : {1, 2, 5, 7, 9, 10, 11, 19, 20, 21, 99, 100, 101, 1001}) {
      const std::vector<float> x = random_walk(n, 17);
      const auto y = decompress(compressed(x, {.method = method}));
      ASSERT_TRUE(y.has_value());
      EXPECT_EQ(y->size(), n) << name_of(method);
    }
    // A stream may even describe no samples at all.
    QuarnelHeader h{.method_tag = method_tag(method),
                    .levels = 1,
                    .scale = 6,
                    .coder = kCoderDeflate,
                    .sample_count = 0};
    const auto executor = make_executor(method);
    const Bytes zeros(2 * band_layout(*executor, 0, 1).coefficient_count(), 0);
    const auto y = decompress(make_stream(h, zeros));
    ASSERT_TRUE(y.has_value()) << y.error().message();
    EXPECT_TRUE(y->empty());
  }
}

TEST(Decompress, FlatSignalComesBackExactly) {
  for (const WaveletMethod method : kMethods) {
    const std::vector<float> x(123, 7.25f);
    const auto y = decompress(compressed(x, {.method = method}));
    ASSERT_TRUE(y.has_value());
    EXPECT_EQ(*y, x) << name_of(method);
  }
}

// (x + mean) * range + min with one rounding for the multiply-add: with
// mean = 1/3 (float), range 3 and min -1, the fused result is
// (1 + 2^-25) - 1 = 2^-25, while a separate multiply rounds 1 + 2^-25 to 1
// and gives 0.
TEST(Decompress, DenormalisationIsOneFusedMultiplyAdd) {
  for (const WaveletMethod method : kMethods) {
    QuarnelHeader h{.method_tag = method_tag(method),
                    .levels = 1,
                    .scale = 10,
                    .coder = kCoderDeflate,
                    .sample_count = 16,
                    .min_value = -1.0f,
                    .max_value = 2.0f,
                    .mean_value = 1.0f / 3.0f};
    const auto executor = make_executor(method);
    const Bytes zeros(2 * band_layout(*executor, 16, 1).coefficient_count(), 0);
    const auto y = decompress(make_stream(h, zeros));
    ASSERT_TRUE(y.has_value());
    for (const float v : *y) EXPECT_EQ(v, std::ldexp(1.0f, -25)) << name_of(method);
  }
}

// A signal spanning nearly the whole float32 range: quantisation may carry a
// normalised sample a little past [0, 1], and mapping it back must not
// overflow: every sample comes back finite.
TEST(Decompress, FiniteSignalsNearTheFloatLimitStayFinite) {
  constexpr float kMax = std::numeric_limits<float>::max();
  for (const float sign : {1.0f, -1.0f}) {
    for (const std::size_t n : {16u, 1000u}) {
      std::vector<float> x(n);
      for (std::size_t i = 0; i < n; ++i) {
        const double s = std::sin(static_cast<double>(i) / 5.0) * 0.5 + 0.5;
        x[i] = sign * static_cast<float>(s * kMax);
      }
      for (const WaveletMethod method : kMethods) {
        for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
          const auto y = decompress(compressed(x, {.coder = coder, .method = method}));
          ASSERT_TRUE(y.has_value());
          for (const float v : *y) {
            ASSERT_TRUE(std::isfinite(v)) << name_of(method) << " n=" << n;
          }
        }
      }
    }
  }
}

// --- hostile streams -------------------------------------------------------

// A header promising 2^31 - 1 samples over a tiny payload is refused quickly,
// without reserving memory for what it promises.
TEST(Decompress, HugeSampleCountWithTinyPayloadAllocatesLittle) {
  for (const WaveletMethod method : kMethods) {
    for (const std::uint8_t coder : {kCoderDeflate, kCoderArans}) {
      QuarnelHeader h{.method_tag = method_tag(method),
                      .levels = 8,
                      .scale = 12,
                      .coder = coder,
                      .sample_count = 2147483647};
      const Bytes stream = make_stream(h, Bytes(coder == kCoderDeflate ? 100 : 5, 0));
      std::string message;
      const std::size_t peak = peak_heap::during([&] { message = failure_of(stream); });
      EXPECT_NE(message.find("coefficients, but the bands need"), std::string::npos) << message;
      EXPECT_LT(peak, 1u << 20) << name_of(method);
    }
  }
}

// An rANS body that claims 2^28 byte pairs over two 4-byte planes runs dry
// after a few hundred bytes; neither the header's nor the body's promise is
// allocated up front.
TEST(Decompress, RansBodyPromisingTooMuchAllocatesLittle) {
  QuarnelHeader h{.method_tag = kTagCdf97,
                  .levels = 8,
                  .scale = 12,
                  .coder = kCoderArans,
                  .sample_count = 2147483647};
  const Bytes body = {0x00, 3,    0x80, 0x80, 0x80, 0x80, 0x01,  // 2^28 pairs
                      4,    0xFF, 0xFF, 0xFF, 0xFF,              // plane 0
                      0xFF, 0xFF, 0xFF, 0xFF};                   // plane 1
  h.payload_length = static_cast<std::uint32_t>(body.size());
  const auto header = h.to_bytes();
  Bytes stream(header.begin(), header.end());
  stream.insert(stream.end(), body.begin(), body.end());
  std::string message;
  const std::size_t peak = peak_heap::during([&] { message = failure_of(stream); });
  EXPECT_EQ(message, reason("Stream truncated"));
  EXPECT_LT(peak, 4u << 20);
}

// A payload that decodes to far more than the bands need is decoded to its
// end (damage anywhere is still reported) but only the needed bytes are kept,
// whichever coder made it.
TEST(Decompress, DecodingBeyondTheBandsIsNotStored) {
  const Bytes zeros(16u << 20, 0);  // 16 MiB of zero coefficients
  for (const std::uint8_t coder : {kCoderDeflate, kCoderArans}) {
    QuarnelHeader h{
        .method_tag = kTagDb4, .levels = 2, .scale = 9, .coder = coder, .sample_count = 64};
    const Bytes stream = make_stream(h, zeros);
    ASSERT_LT(stream.size(), 128u << 10);
    std::vector<float> y;
    const std::size_t peak = peak_heap::during([&] { y = decompress(stream).value(); });
    EXPECT_EQ(y, std::vector<float>(64, 0.0f));
    EXPECT_LT(peak, 1u << 20) << "coder " << int{coder};

    // The same body cut short at its end fails as before.
    Bytes cut = stream;
    if (coder == kCoderDeflate) {
      Bytes payload = zlib_deflate(zeros, /*finish=*/false);
      payload.push_back(0xFF);  // a final block of the reserved type
      cut.resize(kHeaderSize);
      cut.insert(cut.end(), payload.begin(), payload.end());
    } else {
      cut.resize(cut.size() - 2);  // plane 1's last word
    }
    put_u32(cut, 32, static_cast<std::uint32_t>(cut.size() - kHeaderSize));
    EXPECT_EQ(failure_of(cut),
              reason(coder == kCoderDeflate ? "corrupt deflate stream" : "Stream truncated"));
  }
}

// Random damage to valid streams (header fields, payload bytes, lengths):
// every outcome is either exactly sample_count samples or an error value.
// Run under the sanitisers this is the memory-safety net of the decoder.
TEST(Decompress, RandomDamageNeverBreaksTheDecoder) {
  Rng rng(2024);
  for (const WaveletMethod method : kMethods) {
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      const Bytes valid = compressed(random_walk(700, 1), {.coder = coder, .method = method});
      int decoded = 0, refused = 0;
      for (int trial = 0; trial < 1500; ++trial) {
        Bytes stream = valid;
        const int edits = 1 + static_cast<int>(rng.next() % 4);
        for (int e = 0; e < edits; ++e) {
          const std::uint64_t r = rng.next();
          switch (r % 5) {
            case 0:  // a header byte among levels, scale, coder, sample count
              stream[12 + (r >> 8) % 8] = static_cast<std::uint8_t>(r >> 16);
              break;
            case 1:  // a payload byte
              if (stream.size() > kHeaderSize) {
                stream[kHeaderSize + (r >> 8) % (stream.size() - kHeaderSize)] ^=
                    static_cast<std::uint8_t>(1 + (r >> 32) % 255);
              }
              break;
            case 2:  // the level count alone, within what the decoder accepts
              stream[12] = static_cast<std::uint8_t>(1 + (r >> 8) % 10);
              break;
            case 3:  // a small sample count
              put_u32(stream, 16, static_cast<std::uint32_t>((r >> 8) % 2000));
              break;
            default:  // a shorter payload, header kept consistent
              if (stream.size() > kHeaderSize + 1) {
                const std::size_t keep = (r >> 8) % (stream.size() - kHeaderSize);
                stream.resize(kHeaderSize + keep);
                put_u32(stream, 32, static_cast<std::uint32_t>(keep));
              }
              break;
          }
        }
        const auto result = decompress(stream);
        if (result.has_value()) {
          const QuarnelHeader h = header_of(stream);
          ASSERT_EQ(result->size(), h.sample_count) << name_of(method) << " trial " << trial;
          ++decoded;
        } else {
          ASSERT_FALSE(result.error().message().empty());
          ++refused;
        }
      }
      // The damage mix reaches both outcomes.
      EXPECT_GT(decoded, 100) << name_of(method);
      EXPECT_GT(refused, 100) << name_of(method);
    }
  }
}

// --- the inflater on its own -----------------------------------------------

// Either inflater gives the same outcome on each of these, libdeflate by
// itself or by leaving the payload to zlib.
class InflatePayload : public ::testing::TestWithParam<Inflater> {};

// Payloads from either library (zlib's, as older streams hold, and the
// coder's own) inflate alike, and the coder's own inflate with zlib too.
TEST_P(InflatePayload, KeepsAtMostTheRequestedBytes) {
  Bytes data = to_bytes(std::vector<std::int16_t>(30000, 0));
  const Bytes coefficients =
      coefficient_bytes(compressed(ecg_like(20000), {.coder = CoderChoice::deflate}));
  data.insert(data.end(), coefficients.begin(), coefficients.end());
  for (std::size_t i = 0; i < 20000; ++i) data.push_back(static_cast<std::uint8_t>(i * i >> 5));
  Bytes own;
  ASSERT_TRUE(deflate_append(data, own).has_value());
  EXPECT_EQ(zlib_inflate(own), data);
  for (const Bytes& payload : {zlib_deflate(data), own}) {
    for (const std::uint64_t keep : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{65537},
                                     std::uint64_t{data.size()}, std::uint64_t{1} << 40}) {
      const auto out = inflate_payload(payload, keep, GetParam());
      ASSERT_TRUE(out.has_value()) << keep;
      const std::size_t expected = std::min<std::uint64_t>(keep, data.size());
      ASSERT_EQ(out->size, expected);
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + expected, out->data.get()));
    }
  }
}

TEST_P(InflatePayload, PartialPayloadYieldsWhatItHolds) {
  Bytes data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  // Stored blocks: a cut in the middle still yields the bytes before it.
  z_stream zs{};
  deflateInit2(&zs, 0, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes payload(10000);
  zs.next_in = data.data();
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = payload.data();
  zs.avail_out = static_cast<uInt>(payload.size());
  deflate(&zs, Z_FINISH);
  payload.resize(payload.size() - zs.avail_out);
  deflateEnd(&zs);
  const Bytes head(payload.begin(), payload.begin() + 2000);
  const auto out = inflate_payload(head, 1u << 20, GetParam());
  ASSERT_TRUE(out.has_value());
  ASSERT_GT(out->size, 1000u);
  ASSERT_LT(out->size, 2000u);
  EXPECT_TRUE(std::equal(out->data.get(), out->data.get() + out->size, data.begin()));

  EXPECT_EQ(inflate_payload({}, 100, GetParam()).value().size, 0u);
}

TEST_P(InflatePayload, RejectsCorruptData) {
  const Bytes bad = {0xFF, 0x00, 0x00};
  EXPECT_EQ(inflate_payload(bad, 100, GetParam()).error(),
            QuarnelError::decompression_failed("corrupt deflate stream"));
  // Matches reaching into a preset dictionary the inflater never saw: a
  // distance further back than the output.
  const Bytes text(200, 'a');
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  deflateSetDictionary(&zs, text.data(), static_cast<uInt>(text.size()));
  Bytes payload(1000);
  zs.next_in = const_cast<Bytef*>(text.data());
  zs.avail_in = static_cast<uInt>(text.size());
  zs.next_out = payload.data();
  zs.avail_out = static_cast<uInt>(payload.size());
  deflate(&zs, Z_FINISH);
  payload.resize(payload.size() - zs.avail_out);
  deflateEnd(&zs);
  EXPECT_EQ(inflate_payload(payload, 1000, GetParam()).error(),
            QuarnelError::decompression_failed("corrupt deflate stream"));
}

INSTANTIATE_TEST_SUITE_P(Inflaters, InflatePayload,
                         ::testing::Values(Inflater::zlib, Inflater::libdeflate));

// A stream whose checksum vouched for it decodes with libdeflate to zlib's
// samples bit for bit, on every wavelet and coder, and at the edges of the
// payload that libdeflate leaves to zlib (cut before its final block, more
// output than the bands need) to zlib's outcome.
TEST(Decompress, VouchedStreamsDecodeAsZlibDecodesThem) {
  const auto same = [](const Bytes& stream, const std::string& what) {
    const auto zlib = decompress(stream, 1, Inflater::zlib);
    const auto fast = decompress(stream, 1, Inflater::libdeflate);
    ASSERT_EQ(zlib.has_value(), fast.has_value()) << what;
    if (!zlib) {
      EXPECT_EQ(zlib.error(), fast.error()) << what;
      return;
    }
    ASSERT_EQ(zlib->size(), fast->size()) << what;
    EXPECT_TRUE(std::equal(zlib->begin(), zlib->end(), fast->begin(), [](float a, float b) {
      return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
    })) << what;
  };
  for (const WaveletMethod method : kMethods) {
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      for (const std::uint8_t scale : {6, 12}) {
        same(compressed(random_walk(5001, 3), {.coder = coder, .method = method, .scale = scale}),
             std::string(name_of(method)) + " scale " + std::to_string(scale));
      }
    }
  }
  const Bytes stream = valid_stream(CoderChoice::deflate);
  Bytes unfinished = zlib_deflate(coefficient_bytes(stream), /*finish=*/false);
  Bytes cut(stream.begin(), stream.begin() + kHeaderSize);
  put_u32(cut, 32, static_cast<std::uint32_t>(unfinished.size()));
  cut.insert(cut.end(), unfinished.begin(), unfinished.end());
  same(cut, "cut before the final block");
  Bytes longer = coefficient_bytes(stream);
  longer.resize(longer.size() * 3, 0x55);
  same(make_stream(header_of(stream), longer), "more than the bands need");
  Bytes damaged = stream;
  damaged[kHeaderSize + 7] ^= 0x20;
  same(damaged, "a payload byte flipped");
}

}  // namespace
}  // namespace quarnel

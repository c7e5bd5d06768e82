// The C interface against the C++ calls it wraps: the same bytes and samples,
// the codec's messages unchanged, a code for every failure, and no exception
// or leak when memory runs out. (The out-of-memory loop also checks what the
// _alloc calls hand out.)
#include "quarnel/quarnel_c.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "codec_test_util.h"
#include "heap_probe.h"
#include "quarnel/band_layout.h"
#include "quarnel/quarnel.hpp"
#include "quarnel/store.h"
#include "quarnel/trailer.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

// A C call's code and message, with the message buffer it was given.
struct Outcome {
  int code;
  std::string message;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};
using Call = std::function<int(char*, std::size_t)>;

Outcome run(const Call& call) {
  char message[QUARNEL_MESSAGE_SIZE];
  std::memset(message, 'x', sizeof message);
  const int code = call(message, sizeof message);
  return {code, message};
}

// The C text of a codec error is its message in printable ASCII.
Outcome cpp_failure(const QuarnelError& error) {
  return {1 + static_cast<int>(error.kind()), error.printable_message()};
}

void PrintTo(const Outcome& outcome, std::ostream* os) {
  *os << outcome.code << " \"" << outcome.message << '"';
}

quarnel_header_info c_header_info(std::uint32_t struct_size = sizeof(quarnel_header_info)) {
  quarnel_header_info info;
  std::memset(&info, 0xAB, sizeof info);  // what a call does not fill stays so
  info.struct_size = struct_size;
  return info;
}

quarnel_options c_options(const CompressionOptions& o, unsigned threads = 1) {
  quarnel_options c;
  quarnel_options_init(&c);
  c.method = static_cast<std::uint8_t>(o.method);
  c.scale = o.scale;
  c.cutoff = static_cast<std::uint8_t>(o.cutoff);
  c.coder = static_cast<std::uint8_t>(o.coder);
  c.threads = threads;
  c.trailer = 0;  // the bytes of compress()
  return c;
}

Outcome compress_c(std::span<const float> x, const quarnel_options* options, Bytes& stream) {
  stream.assign(kHeaderSize + 8 * x.size() + 4096, 0);
  std::size_t size = stream.size();
  const Outcome out = run([&](char* m, std::size_t ms) {
    return quarnel_compress(x.data(), x.size(), options, stream.data(), &size, m, ms);
  });
  stream.resize(out.code == QUARNEL_OK ? size : 0);
  return out;
}

Outcome decompress_c(std::span<const std::uint8_t> stream, unsigned threads,
                     std::vector<float>& samples) {
  samples.assign(4096, -1.0f);  // room for every stream used here
  std::size_t count = samples.size();
  const Outcome out = run([&](char* m, std::size_t ms) {
    return quarnel_decompress(stream.data(), stream.size(), threads, samples.data(), &count, m, ms);
  });
  samples.resize(out.code == QUARNEL_OK ? count : 0);
  return out;
}

class CRoundTrip
    : public ::testing::TestWithParam<std::tuple<WaveletMethod, CoderChoice, unsigned>> {};

TEST_P(CRoundTrip, GivesTheBytesAndSamplesOfTheCppCalls) {
  const auto [method, coder, threads] = GetParam();
  const CompressionOptions options{
      .cutoff = CutoffLevel::medium, .coder = coder, .method = method, .scale = 10};
  const std::vector<float> x = ecg_like(3001);
  const Bytes expected = compressed(x, options);
  const std::vector<float> restored = *decompress(expected);
  const quarnel_options c = c_options(options, threads);

  Bytes stream;
  EXPECT_EQ(compress_c(x, &c, stream), (Outcome{QUARNEL_OK, ""}));  // success clears the message
  EXPECT_EQ(stream, expected);
  std::size_t length = 0;
  EXPECT_EQ(quarnel_decompressed_length(expected.data(), expected.size(), &length, nullptr, 0),
            QUARNEL_OK);
  EXPECT_EQ(length, x.size());
  quarnel_header_info info = c_header_info();
  EXPECT_EQ(quarnel_read_header(expected.data(), expected.size(), &info, nullptr, 0), QUARNEL_OK);
  const QuarnelHeader stored = header_of(expected);
  EXPECT_EQ(info.struct_size, sizeof info);
  EXPECT_EQ(info.method, static_cast<std::uint8_t>(method));
  EXPECT_EQ(info.levels, stored.levels);
  EXPECT_EQ(info.scale, 10);
  EXPECT_EQ(info.coder,
            coder == CoderChoice::deflate ? QUARNEL_CODER_DEFLATE : QUARNEL_CODER_ARANS);
  EXPECT_EQ(info.sample_count, x.size());
  EXPECT_EQ(info.min_value, *std::ranges::min_element(x));
  EXPECT_EQ(info.max_value, *std::ranges::max_element(x));
  EXPECT_EQ(info.mean_value, stored.mean_value);
  EXPECT_EQ(info.payload_length, expected.size() - kHeaderSize);
  std::vector<float> samples;
  EXPECT_EQ(decompress_c(expected, threads, samples).code, QUARNEL_OK);
  EXPECT_EQ(samples, restored);
}

INSTANTIATE_TEST_SUITE_P(
    Options, CRoundTrip,
    ::testing::Values(std::make_tuple(WaveletMethod::cdf97, CoderChoice::auto_, 1u),
                      std::make_tuple(WaveletMethod::cdf53, CoderChoice::deflate, 1u),
                      std::make_tuple(WaveletMethod::db4, CoderChoice::arans, 2u),
                      std::make_tuple(WaveletMethod::sym4, CoderChoice::deflate, 0u)));

// The defaults write the trailer, as quarnel_tools does, for the first
// layout's callers too.
TEST(COptions, NullAndTheInitialiserGiveTheCppDefaults) {
  const std::vector<float> x = sines(777);
  quarnel_options defaults, first_layout;
  quarnel_options_init(&defaults);
  quarnel_options_init(&first_layout);
  first_layout.struct_size = offsetof(quarnel_options, trailer);
  Bytes with_null, with_defaults, with_first;
  EXPECT_EQ(compress_c(x, nullptr, with_null).code, QUARNEL_OK);
  EXPECT_EQ(compress_c(x, &defaults, with_defaults).code, QUARNEL_OK);
  EXPECT_EQ(compress_c(x, &first_layout, with_first).code, QUARNEL_OK);
  EXPECT_EQ(with_null, compress_stored(std::span<const float>(x), {}, {}, 1).value());
  EXPECT_EQ(with_defaults, with_null);
  EXPECT_EQ(with_first, with_null);
}

TEST(CBuffers, TooSmallReportsTheSizeNeededAndWritesNothing) {
  const std::vector<float> x = sines(2000);
  const Bytes expected = compress_stored(std::span<const float>(x), {}, {}, 1).value();
  const std::size_t need = expected.size();
  std::size_t size = 0;  // a query: no buffer at all
  EXPECT_EQ(quarnel_compress(x.data(), x.size(), nullptr, nullptr, &size, nullptr, 0),
            QUARNEL_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, need);
  Bytes stream(need - 1, 0xAA);
  size = stream.size();
  EXPECT_EQ(run([&](char* m, std::size_t ms) {
              return quarnel_compress(x.data(), x.size(), nullptr, stream.data(), &size, m, ms);
            }),
            (Outcome{QUARNEL_ERROR_BUFFER_TOO_SMALL,
                     "Output buffer holds " + std::to_string(need - 1) +
                         " bytes, but the stream needs " + std::to_string(need)}));
  EXPECT_EQ(size, need);
  EXPECT_EQ(stream, Bytes(need - 1, 0xAA));

  std::vector<float> samples(x.size() - 1, 7.0f);
  std::size_t count = samples.size();
  EXPECT_EQ(run([&](char* m, std::size_t ms) {
              return quarnel_decompress(expected.data(), need, 1, samples.data(), &count, m, ms);
            }),
            (Outcome{QUARNEL_ERROR_BUFFER_TOO_SMALL,
                     "Output buffer holds 1999 samples, but the stream has 2000"}));
  EXPECT_EQ(count, x.size());
  EXPECT_EQ(samples, std::vector<float>(x.size() - 1, 7.0f));

  // A count the stream does not vouch for is never reported as the size
  // needed: one flipped bit under the checksum, or more samples than the
  // payload can hold in a bare stream.
  Bytes flipped = expected;
  flipped[19] ^= 0x40;  // 2^30 + 2000 samples
  Bytes bare = compressed(x, {});
  bare[19] ^= 0x40;
  for (const Bytes& damaged : {flipped, bare}) {
    std::size_t length = 0;
    count = samples.size();
    EXPECT_EQ(quarnel_decompress(damaged.data(), damaged.size(), 1, samples.data(), &count,
                                 nullptr, 0),
              QUARNEL_ERROR_STREAM_DAMAGED);
    EXPECT_EQ(count, samples.size());
    EXPECT_EQ(quarnel_decompressed_length(damaged.data(), damaged.size(), &length, nullptr, 0),
              QUARNEL_ERROR_STREAM_DAMAGED);
  }

  // A message longer than its buffer is cut and ended there.
  char message[9];
  std::memset(message, 'x', sizeof message);
  EXPECT_EQ(quarnel_decompressed_length(Bytes(60, 0).data(), 60, &count, message, 8),
            QUARNEL_ERROR_INVALID_MAGIC);
  EXPECT_STREQ(message, "Magic s");
  EXPECT_EQ(message[8], 'x');
}

// quarnel.hpp sizes its vector once the stream has vouched for the count: a
// count grown by one flipped bit (2^24 more samples, 64 MiB) is refused
// before anything that large is allocated.
TEST(CppHeader, DecompressRefusesADamagedCountBeforeSizingForIt) {
  const std::vector<float> x = sines(2000);
  for (const bool trailer : {true, false}) {
    Bytes stream = trailer ? compress_stored(std::span<const float>(x), {}, {}, 1).value()
                           : compressed(x, {});
    stream[19] ^= 0x01;
    std::expected<std::vector<float>, cpp::Error> restored;
    const std::size_t peak = peak_heap::during([&] { restored = cpp::decompress(stream); });
    ASSERT_FALSE(restored.has_value());
    EXPECT_EQ(restored.error().code, QUARNEL_ERROR_STREAM_DAMAGED);
    EXPECT_LT(peak, std::size_t{1} << 20) << trailer;
  }
}

// Stored bytes quoted in a message show as escapes: a NUL would end the text.
TEST(CMessages, StoredBytesOutsidePrintableAsciiShowAsEscapes) {
  const Bytes zeros(64, 0);
  float* samples = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(run([&](char* m, std::size_t ms) {
              return quarnel_decompress_alloc(zeros.data(), zeros.size(), 1, &samples, &count, m,
                                              ms);
            }),
            (Outcome{QUARNEL_ERROR_INVALID_MAGIC,
                     R"(Magic should be 'QRNL' but it was '\x00\x00\x00\x00')"}));
  Bytes stream = compressed(sines(64), {});
  stream[4] = '\n';
  stream[5] = 0xE9;
  std::vector<float> restored;
  EXPECT_EQ(decompress_c(stream, 1, restored),
            (Outcome{QUARNEL_ERROR_INVALID_VERSION, R"(Invalid header version '\n\xe9')"}));
}

// A trailer asked for through the options: its checksum refuses damage, and
// its mask brings NaN and the infinities back; without it, as before.
TEST(CTrailer, MasksComeBackAndDamageIsRefused) {
  std::vector<float> x = sines(500);
  x[7] = std::numeric_limits<float>::quiet_NaN();
  x[8] = -std::numeric_limits<float>::infinity();
  x[300] = -9999.0f;
  quarnel_options options;
  quarnel_options_init(&options);
  options.trailer = 1;
  options.has_fill_value = 1;
  options.fill_value = -9999.0;
  std::uint8_t* stream = nullptr;
  std::size_t size = 0;
  ASSERT_EQ(quarnel_compress_alloc(x.data(), x.size(), &options, &stream, &size, nullptr, 0),
            QUARNEL_OK);
  Bytes bytes(stream, stream + size);
  quarnel_free(stream);

  quarnel_trailer_info info;
  info.struct_size = sizeof info;
  ASSERT_EQ(quarnel_read_trailer(bytes.data(), bytes.size(), &info, nullptr, 0), QUARNEL_OK);
  EXPECT_EQ(info.has_trailer, 1u);
  EXPECT_EQ(info.masked_count, 3u);

  std::vector<float> y(x.size());
  std::size_t count = y.size();
  ASSERT_EQ(quarnel_decompress(bytes.data(), bytes.size(), 1, y.data(), &count, nullptr, 0),
            QUARNEL_OK);
  EXPECT_TRUE(std::isnan(y[7]));
  EXPECT_EQ(y[8], x[8]);
  EXPECT_EQ(y[300], x[300]);
  EXPECT_NEAR(y[100], x[100], 1e-2);

  bytes[QUARNEL_HEADER_SIZE + 3] ^= 4;
  const Outcome damaged = run([&](char* m, std::size_t ms) {
    return quarnel_decompress(bytes.data(), bytes.size(), 1, y.data(), &count, m, ms);
  });
  EXPECT_EQ(damaged, (Outcome{QUARNEL_ERROR_STREAM_DAMAGED, "stream damaged: checksum mismatch"}));

  // A bare stream reads as having no trailer, and is refused where one is
  // required.
  const Bytes bare = compressed(x, {});
  ASSERT_EQ(quarnel_read_trailer(bare.data(), bare.size(), &info, nullptr, 0), QUARNEL_OK);
  EXPECT_EQ(info.has_trailer, 0u);
  std::vector<float> out(x.size());
  count = out.size();
  EXPECT_EQ(quarnel_decompress_flags(bare.data(), bare.size(), 1, QUARNEL_REQUIRE_TRAILER,
                                     out.data(), &count, nullptr, 0),
            QUARNEL_ERROR_STREAM_DAMAGED);
  float* owned = nullptr;
  EXPECT_EQ(quarnel_decompress_alloc_flags(bare.data(), bare.size(), 1, QUARNEL_REQUIRE_TRAILER,
                                           &owned, &count, nullptr, 0),
            QUARNEL_ERROR_STREAM_DAMAGED);
  EXPECT_EQ(quarnel_decompress_alloc_flags(bytes.data() , bytes.size(), 1, QUARNEL_REQUIRE_TRAILER,
                                           &owned, &count, nullptr, 0),
            QUARNEL_ERROR_STREAM_DAMAGED);  // the damaged one above
}

// float64 samples: the decoded ones widened, the masked ones with their own
// bits, a fill float32 cannot hold among them.
TEST(CTrailer, Float64DecodeGivesMaskedSamplesTheirOwnBits) {
  const std::vector<float> narrow = sines(500);
  std::vector<double> x(narrow.begin(), narrow.end());
  x[20] = x[21] = -999.9;
  quarnel::StoreOptions store;
  store.fill_value = -999.9;
  const Bytes stream = compress_stored(std::span<const double>(x), {}, store, 1).value();
  const std::vector<float> y32 = decompress_with_trailer(stream, 1).value().samples;
  std::vector<double> y(x.size());
  std::size_t count = y.size();
  ASSERT_EQ(quarnel_decompress_f64(stream.data(), stream.size(), 1, QUARNEL_REQUIRE_TRAILER,
                                   y.data(), &count, nullptr, 0),
            QUARNEL_OK);
  ASSERT_EQ(count, x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    EXPECT_EQ(y[i], i == 20 || i == 21 ? -999.9 : static_cast<double>(y32[i])) << i;
  }
}

// The C calls decode as decompress_with_trailer() does: the corrections and
// their grid, then the mask.
TEST(CTrailer, CorrectionsAreApplied) {
  const std::vector<float> x = sines(3000);
  Bytes stream = compressed(x, {});
  Trailer t;
  t.corrections = Corrections{0.125, 0.375, {{0, -3}, {7, 1}, {2999, 4}}, Grid{10.0, 0.25}};
  ASSERT_TRUE(append_trailer(stream, t));
  // What the trailer corrects is said, to callers of either layout.
  quarnel_trailer_info info;
  info.struct_size = sizeof info;
  ASSERT_EQ(quarnel_read_trailer(stream.data(), stream.size(), &info, nullptr, 0), QUARNEL_OK);
  EXPECT_EQ(info.corrected_count, 3u);
  EXPECT_EQ(info.uncorrected_error, 0.375);
  EXPECT_EQ(info.grid_origin, 10.0);
  EXPECT_EQ(info.grid_step, 0.25);
  for (const std::size_t older : {offsetof(quarnel_trailer_info, corrected_count),
                                  offsetof(quarnel_trailer_info, grid_origin)}) {
    info.struct_size = static_cast<std::uint32_t>(older);
    EXPECT_EQ(quarnel_read_trailer(stream.data(), stream.size(), &info, nullptr, 0), QUARNEL_OK);
  }
  const std::vector<float> expected = decompress_with_trailer(stream, 1).value().samples;
  ASSERT_NE(expected, decompress(stream).value());
  std::vector<float> samples;
  ASSERT_EQ(decompress_c(stream, 1, samples).code, QUARNEL_OK);
  EXPECT_EQ(samples, expected);
  float* owned = nullptr;
  std::size_t count = 0;
  ASSERT_EQ(quarnel_decompress_alloc(stream.data(), stream.size(), 1, &owned, &count, nullptr, 0),
            QUARNEL_OK);
  EXPECT_EQ(std::vector<float>(owned, owned + count), expected);
  quarnel_free(owned);
}

// The float64 and error-bounded calls give the bytes of the C++ encoders for
// storage, and their failures with the codec's code and message.
struct StoredCase {
  std::optional<ErrorTarget> kind;  // none: the fixed options
  double value;
  std::optional<WaveletMethod> method;
  bool f64;
  bool corrections = true;
  int deflate_level = kDefaultDeflateLevel;
};

class CStored : public ::testing::TestWithParam<StoredCase> {};

Outcome compress_stored_c(const StoredCase& p, std::span<const double> x,
                          const quarnel_options& options, Bytes& stream) {
  const std::vector<float> x32(x.begin(), x.end());
  quarnel_target target;
  quarnel_target_init(&target);
  target.kind = static_cast<std::uint8_t>(p.kind.value_or(ErrorTarget::max_error));
  target.value = p.value;
  if (p.method) target.method = static_cast<std::uint8_t>(*p.method);
  std::uint8_t* owned = nullptr;
  std::size_t size = 0;
  const Outcome out = run([&](char* m, std::size_t ms) {
    if (!p.kind)
      return quarnel_compress_f64_alloc(x.data(), x.size(), &options, &owned, &size, m, ms);
    return p.f64 ? quarnel_compress_bounded_f64_alloc(x.data(), x.size(), &target, &options, &owned,
                                                      &size, m, ms)
                 : quarnel_compress_bounded_alloc(x32.data(), x32.size(), &target, &options, &owned,
                                                  &size, m, ms);
  });
  stream.assign(owned, owned + size);
  quarnel_free(owned);
  return out;
}

TEST_P(CStored, GivesTheBytesOfTheCppEncoders) {
  const StoredCase& p = GetParam();
  std::vector<double> x(2000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.01 * i) + 1e-9 * i;
  x[10] = -9999.0;
  const std::vector<float> x32(x.begin(), x.end());
  quarnel_options options;
  quarnel_options_init(&options);
  options.trailer = 1;
  options.has_fill_value = 1;
  options.fill_value = -9999.0;
  options.corrections = p.corrections;
  options.deflate_level = p.deflate_level;
  StoreOptions store{.fill_value = -9999.0};
  store.corrections = p.corrections;
  store.deflate_level = p.deflate_level;
  const BoundedOptions bounded{.target = p.kind.value_or(ErrorTarget::max_error),
                               .value = p.value,
                               .method = p.method,
                               .deflate_level = p.deflate_level};
  const auto stream_of = [](const std::expected<BoundedResult, QuarnelError>& r)
      -> std::expected<Bytes, QuarnelError> {
    if (!r) return std::unexpected(r.error());
    return r->stream;
  };
  const auto expected =
      !p.kind ? compress_stored(std::span<const double>(x), {}, store, 1)
      : p.f64 ? stream_of(compress_bounded_stored(std::span<const double>(x), bounded, store, 1))
              : stream_of(compress_bounded_stored(std::span<const float>(x32), bounded, store, 1));
  Bytes stream;
  const Outcome out = compress_stored_c(p, x, options, stream);
  if (!expected) {
    EXPECT_EQ(out, cpp_failure(expected.error()));
    return;
  }
  ASSERT_EQ(out, (Outcome{QUARNEL_OK, ""}));
  EXPECT_EQ(stream, *expected);
  quarnel_trailer_info info;
  info.struct_size = sizeof info;
  ASSERT_EQ(quarnel_read_trailer(stream.data(), stream.size(), &info, nullptr, 0), QUARNEL_OK);
  EXPECT_EQ(info.masked_count, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, CStored,
    ::testing::Values(StoredCase{std::nullopt, 0, std::nullopt, true},
                      StoredCase{ErrorTarget::max_error, 1e-3, std::nullopt, false},
                      StoredCase{ErrorTarget::relative_error, 1e-3, WaveletMethod::db4, true},
                      StoredCase{ErrorTarget::max_error, 1e-3, std::nullopt, false, false, 1},
                      StoredCase{ErrorTarget::max_error, 1e-3, std::nullopt, true, true, 13},
                      StoredCase{ErrorTarget::psnr, 70, std::nullopt, true},
                      // Finer than the float32 grid of the float64 signal: unreachable.
                      StoredCase{ErrorTarget::max_error, 1e-12, std::nullopt, true},
                      StoredCase{ErrorTarget::psnr, std::numeric_limits<double>::infinity(),
                                 std::nullopt, false},
                      StoredCase{ErrorTarget{3}, 1, std::nullopt, false}));

TEST(CStored, RefusesFloat64BeyondFloat32AndMisuse) {
  const double x[] = {1.0, 1e300, 2.0};
  std::uint8_t* stream = nullptr;
  std::size_t size = 0;
  Outcome out = run([&](char* m, std::size_t ms) {
    return quarnel_compress_f64_alloc(x, 3, nullptr, &stream, &size, m, ms);
  });
  EXPECT_EQ(out.code, QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION);
  EXPECT_EQ(
      out.message,
      "Unsupported compression configuration 'sample 1 holds 1e+300, beyond the float32 range'");
  out = run([&](char* m, std::size_t ms) {
    return quarnel_compress_bounded_f64_alloc(x, 3, nullptr, nullptr, &stream, &size, m, ms);
  });
  EXPECT_EQ(out, (Outcome{QUARNEL_ERROR_NULL_POINTER, "target is a null pointer"}));
  quarnel_target target;
  quarnel_target_init(&target);
  target.struct_size = 4;
  out = run([&](char* m, std::size_t ms) {
    return quarnel_compress_bounded_f64_alloc(x, 3, &target, nullptr, &stream, &size, m, ms);
  });
  EXPECT_EQ(out.code, QUARNEL_ERROR_BAD_STRUCT_SIZE);
  EXPECT_EQ(stream, nullptr);
}

TEST(CHeaderInfo, TheHeaderAloneIsEnough) {
  const Bytes stream = compressed(sines(300), {});
  quarnel_header_info full = c_header_info();
  ASSERT_EQ(quarnel_read_header(stream.data(), stream.size(), &full, nullptr, 0), QUARNEL_OK);
  quarnel_header_info header_only = c_header_info();
  ASSERT_EQ(quarnel_read_header(stream.data(), kHeaderSize, &header_only, nullptr, 0), QUARNEL_OK);
  EXPECT_EQ(std::memcmp(&header_only, &full, sizeof full), 0);
}

// Every codec error a stream can cause, through the decoding calls: its
// class's code and the codec's message.
struct StreamFault {
  const char* name;  // of the code
  std::function<void(Bytes&)> damage;
  bool in_header;  // quarnel_read_header finds it too
};

class CDecodeError : public ::testing::TestWithParam<StreamFault> {};

TEST_P(CDecodeError, HasItsCodeAndTheCodecMessage) {
  const StreamFault& fault = GetParam();
  Bytes stream = compressed(sines(1000), {.coder = CoderChoice::arans});
  fault.damage(stream);
  const auto cpp = decompress(stream);
  ASSERT_FALSE(cpp.has_value());
  Outcome expected = cpp_failure(cpp.error());
  for (int code = 0; quarnel_error_name(code) != nullptr || code < 64; ++code) {
    const char* name = quarnel_error_name(code);
    if (name != nullptr && std::strcmp(name, fault.name) == 0) expected.code = code;
  }
  EXPECT_STREQ(quarnel_error_name(expected.code), fault.name);

  std::vector<float> samples;
  EXPECT_EQ(decompress_c(stream, 1, samples), expected);
  float sentinel = 0.0f;
  float* owned = &sentinel;
  std::size_t count = 1;
  EXPECT_EQ(run([&](char* m, std::size_t ms) {
              return quarnel_decompress_alloc(stream.data(), stream.size(), 1, &owned, &count, m,
                                              ms);
            }),
            expected);
  EXPECT_EQ(owned, nullptr);  // a failure hands out nothing
  const Outcome in_header = fault.in_header ? expected : Outcome{QUARNEL_OK, ""};
  // The length is vouched for, but the payload not decoded.
  const bool decoded = std::string(fault.name) == "QUARNEL_ERROR_STREAM_DAMAGED" && !fault.in_header;
  EXPECT_EQ(run([&](char* m, std::size_t ms) {
              return quarnel_decompressed_length(stream.data(), stream.size(), &count, m, ms);
            }),
            (decoded ? Outcome{QUARNEL_OK, ""} : expected));
  quarnel_header_info info = c_header_info();
  EXPECT_EQ(run([&](char* m, std::size_t ms) {
              return quarnel_read_header(stream.data(), stream.size(), &info, m, ms);
            }),
            in_header);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CDecodeError,
    ::testing::Values(
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[8] = 'x'; }, true},
        StreamFault{"QUARNEL_ERROR_INVALID_MAGIC", [](Bytes& b) { b[0] = 'X'; }, true},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[7] = '4'; }, true},
        StreamFault{"QUARNEL_ERROR_INVALID_VERSION", [](Bytes& b) { b[4] = 2; }, true},
        // CDF 9/7 bands of 10 samples over 4 levels, which the inverse refuses.
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED",
                    [](Bytes& b) {
                      const auto executor = make_executor(WaveletMethod::cdf97);
                      const std::size_t n = band_layout(*executor, 10, 4).coefficient_count();
                      b = make_stream({.method_tag = kTagCdf97,
                                       .levels = 4,
                                       .scale = 11,
                                       .coder = kCoderDeflate,
                                       .sample_count = 10},
                                      Bytes(2 * n, 0));
                    },
                    false},
        StreamFault{"QUARNEL_ERROR_STREAM_TRUNCATED", [](Bytes& b) { b.resize(51); }, true},
        // The header reader reads the header alone.
        StreamFault{"QUARNEL_ERROR_STREAM_TRUNCATED", [](Bytes& b) { b.pop_back(); }, false},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[12] = 0; }, true},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[12] = 11; }, true},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[12] = 255; }, true},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[19] = 0x80; }, true},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[kHeaderSize + 1] = 9; },
                    false},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[13] = 13; }, true},
        StreamFault{"QUARNEL_ERROR_STREAM_DAMAGED", [](Bytes& b) { b[14] = 7; }, true}));

// The codec errors options and lengths cause. (EncodeFailed needs the DEFLATE
// library's own allocation to fail; its code is fixed at compile time.)
TEST(CCompressError, HasItsCodeAndTheCodecMessage) {
  const std::tuple<const char*, std::size_t, CompressionOptions> cases[] = {
      {"QUARNEL_ERROR_UNSUPPORTED_SCALE", 100, {.scale = 5}},
      {"QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION", 100, {.cutoff = CutoffLevel{3}}},
      {"QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION", 0, {}}};
  for (const auto& [name, n, options] : cases) {
    const std::vector<float> x = triangle_steps(n);
    const auto cpp = compress(x, options);
    ASSERT_FALSE(cpp.has_value());
    const quarnel_options c = c_options(options);
    Bytes stream;
    const Outcome out = compress_c(x, &c, stream);
    EXPECT_EQ(out, cpp_failure(cpp.error()));
    EXPECT_STREQ(quarnel_error_name(out.code), name);
  }
  // Out-of-range options have their own codes, at either encoder; so has a
  // thread count no call takes. A target must be given its value.
  const std::vector<float> x = sines(100);
  const auto options_with = [](auto&& set) {
    quarnel_options o;
    quarnel_options_init(&o);
    set(o);
    return o;
  };
  const std::tuple<int, const char*, quarnel_options, std::optional<double>> misused[] = {
      {QUARNEL_ERROR_INVALID_METHOD, "quarnel_options.method is 4, not a QUARNEL_METHOD_*",
       options_with([](quarnel_options& o) { o.method = 4; }), 0.1},
      {QUARNEL_ERROR_UNKNOWN_CODER, "quarnel_options.coder is 3, not a QUARNEL_CODER_*",
       options_with([](quarnel_options& o) { o.coder = 3; }), 0.1},
      {QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION, "quarnel_options.threads is 100000, more than 1024",
       options_with([](quarnel_options& o) { o.threads = 100000; }), 0.1},
      {QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION,
       "quarnel_target.value is not set: give the largest error, the error as a fraction of the "
       "range, or the PSNR in dB",
       options_with([](quarnel_options&) {}), std::nullopt}};
  for (const auto& [code, text, options, value] : misused) {
    Bytes stream;
    if (value) EXPECT_EQ(compress_c(x, &options, stream), (Outcome{code, text}));
    quarnel_target target;
    quarnel_target_init(&target);
    if (value) target.value = *value;
    std::uint8_t* owned = nullptr;
    std::size_t size = 0;
    EXPECT_EQ(run([&](char* m, std::size_t ms) {
                return quarnel_compress_bounded_alloc(x.data(), x.size(), &target, &options,
                                                      &owned, &size, m, ms);
              }),
              (Outcome{code, text}));
  }
  quarnel_target target;
  quarnel_target_init(&target);
  target.value = 0.1;
  target.method = 7;
  std::uint8_t* owned = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(quarnel_compress_bounded_alloc(x.data(), x.size(), &target, nullptr, &owned, &size,
                                           nullptr, 0),
            QUARNEL_ERROR_INVALID_METHOD);
  std::vector<float> out(100);
  std::size_t count = out.size();
  const Bytes stream = compressed(x, {});
  EXPECT_EQ(quarnel_decompress(stream.data(), stream.size(), 100000, out.data(), &count, nullptr, 0),
            QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION);
}

// The bound holds for white noise, the input that compresses least, with
// every method, coder, cutoff and scale, the bounded encoder at its finest
// and with a trailer that masks half the samples; and it is not loose: within
// 1.5 times the largest stream plus a little for the longest trailer.
TEST(CBound, HoldsForWhiteNoiseWithEveryOption) {
  std::size_t largest = 0;
  for (const std::size_t n : {1u, 7u, 300u, 40000u}) {
    const std::vector<float> x = noise(n, n);
    for (const WaveletMethod method : kMethods) {
      for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
        for (const CutoffLevel cutoff : kCutoffs) {
          for (std::uint8_t scale = kMinScale; scale <= kMaxScale; ++scale) {
            quarnel_options options = c_options({cutoff, coder, method, scale});
            Bytes stream;
            ASSERT_EQ(compress_c(x, &options, stream).code, QUARNEL_OK);
            EXPECT_LE(stream.size(), quarnel_compress_bound(n, &options)) << n;
            if (n == 40000) largest = std::max(largest, stream.size());
          }
        }
      }
    }
    // Half the samples masked, each with a NaN of its own, as float64.
    std::vector<double> wide(x.begin(), x.end());
    for (std::size_t i = 0; i < n; i += 2) {
      wide[i] = std::bit_cast<double>(0x7FF8000000000000u | i);
    }
    quarnel_options options = c_options({});
    options.trailer = 1;
    quarnel_target target;
    quarnel_target_init(&target);
    target.value = 1e-3;  // a few times the finest step the encoder has
    for (const std::uint8_t coder : {QUARNEL_CODER_DEFLATE, QUARNEL_CODER_ARANS}) {
      target.coder = coder;
      std::uint8_t* stream = nullptr;
      std::size_t size = 0;
      ASSERT_EQ(quarnel_compress_bounded_f64_alloc(wide.data(), n, &target, &options, &stream,
                                                   &size, nullptr, 0),
                QUARNEL_OK)
          << n;
      EXPECT_LE(size, quarnel_compress_bound(n, &options)) << n;
      quarnel_free(stream);
      std::uint8_t* stored = nullptr;
      ASSERT_EQ(quarnel_compress_f64_alloc(wide.data(), n, &options, &stored, &size, nullptr, 0),
                QUARNEL_OK);
      EXPECT_LE(size, quarnel_compress_bound(n, &options)) << n;
      quarnel_free(stored);
    }
  }
  const quarnel_options bare = c_options({});
  EXPECT_LE(quarnel_compress_bound(40000, &bare), largest * 3 / 2);
  quarnel_options trailer = c_options({});
  trailer.trailer = 1;
  EXPECT_LE(quarnel_compress_bound(40000, &trailer),
            quarnel_compress_bound(40000, &bare) + 40000 * (8 + 3 + 3) + 200);
  // Nothing for what no stream holds, or options of a size unknown here.
  EXPECT_EQ(quarnel_compress_bound(std::size_t{kMaxSampleCount} + 1, nullptr), 0u);
  EXPECT_EQ(quarnel_compress_bound(0, nullptr), 0u);
  trailer.struct_size = 3;
  EXPECT_EQ(quarnel_compress_bound(10, &trailer), 0u);
}

// The samples are rebuilt in the caller's buffer: beyond it, the call holds
// the coefficients (half the samples' bytes) and little else.
TEST(CDecompress, RebuildsTheSamplesInTheCallersBuffer) {
  const std::size_t n = std::size_t{1} << 20;
  const std::vector<float> x = noise(n, 5);
  for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
    quarnel_options options = c_options({.coder = coder});
    Bytes stream;
    ASSERT_EQ(compress_c(x, &options, stream).code, QUARNEL_OK);
    std::vector<float> samples(n);
    std::size_t count = n;
    int code = -1;
    const std::size_t peak = peak_heap::during([&] {
      code =
          quarnel_decompress(stream.data(), stream.size(), 1, samples.data(), &count, nullptr, 0);
    });
    ASSERT_EQ(code, QUARNEL_OK);
    EXPECT_EQ(samples, decompress(stream).value());
    EXPECT_LE(peak, n * sizeof(float) * 5 / 8) << "coder " << static_cast<int>(coder);
  }
}

// Misuse: the code, and the message naming what was wrong.
TEST(CMisuse, IsRefusedWithItsCode) {
  const Bytes stream = compressed(sines(64), {});
  std::vector<float> out(64);
  std::size_t n = 0, sixty_four = 64;
  const auto sized = [](std::uint32_t size) {
    quarnel_options c = c_options({});
    c.struct_size = size;
    return c;
  };
  const quarnel_options none = sized(0), short_by_one = sized(11), mid_field = sized(13),
                        unknown = sized(sizeof(quarnel_options) + 1);
  static_assert(sizeof(quarnel_options) == 40);  // the message below names 41
  quarnel_header_info info_short = c_header_info(sizeof(quarnel_header_info) - 1),
                      info_long = c_header_info(sizeof(quarnel_header_info) + 1);
  const std::tuple<int, const char*, Call> cases[] = {
      {QUARNEL_ERROR_NULL_POINTER, "samples is a null pointer",
       [&](char* m, std::size_t ms) {
         return quarnel_compress(nullptr, 5, nullptr, nullptr, &n, m, ms);
       }},
      {QUARNEL_ERROR_NULL_POINTER, "stream is a null pointer",
       [&](char* m, std::size_t ms) {
         return quarnel_compress_alloc(out.data(), 64, nullptr, nullptr, &n, m, ms);
       }},
      {QUARNEL_ERROR_NULL_POINTER, "sample_count is a null pointer",
       [&](char* m, std::size_t ms) {
         return quarnel_decompressed_length(stream.data(), stream.size(), nullptr, m, ms);
       }},
      {QUARNEL_ERROR_NULL_POINTER, "samples is a null pointer",
       [&](char* m, std::size_t ms) {
         return quarnel_decompress(stream.data(), stream.size(), 1, nullptr, &sixty_four, m, ms);
       }},
      {QUARNEL_ERROR_BAD_STRUCT_SIZE, "struct_size is 0,",
       [&](char* m, std::size_t ms) {
         return quarnel_compress(out.data(), 64, &none, nullptr, &n, m, ms);
       }},
      {QUARNEL_ERROR_BAD_STRUCT_SIZE, "struct_size is 11,",
       [&](char* m, std::size_t ms) {
         return quarnel_compress(out.data(), 64, &short_by_one, nullptr, &n, m, ms);
       }},
      {QUARNEL_ERROR_BAD_STRUCT_SIZE, "struct_size is 13, but this library knows sizes 12, 32 and 40",
       [&](char* m, std::size_t ms) {
         return quarnel_compress(out.data(), 64, &mid_field, nullptr, &n, m, ms);
       }},
      {QUARNEL_ERROR_BAD_STRUCT_SIZE, "struct_size is 41,",
       [&](char* m, std::size_t ms) {
         std::uint8_t* owned = nullptr;
         return quarnel_compress_alloc(out.data(), 64, &unknown, &owned, &n, m, ms);
       }},
      {QUARNEL_ERROR_NULL_POINTER, "info is a null pointer",
       [&](char* m, std::size_t ms) {
         return quarnel_read_header(stream.data(), stream.size(), nullptr, m, ms);
       }},
      {QUARNEL_ERROR_BAD_STRUCT_SIZE, "quarnel_header_info.struct_size is 27,",
       [&](char* m, std::size_t ms) {
         return quarnel_read_header(stream.data(), stream.size(), &info_short, m, ms);
       }},
      {QUARNEL_ERROR_BAD_STRUCT_SIZE, "quarnel_header_info.struct_size is 29,",
       [&](char* m, std::size_t ms) {
         return quarnel_read_header(stream.data(), stream.size(), &info_long, m, ms);
       }}};
  for (const auto& [code, text, call] : cases) {
    const Outcome outcome = run(call);
    EXPECT_EQ(outcome.code, code) << text;
    EXPECT_NE(outcome.message.find(text), std::string::npos) << outcome.message;
  }
  EXPECT_STREQ(quarnel_error_name(QUARNEL_ERROR_INTERNAL), "QUARNEL_ERROR_INTERNAL");
  EXPECT_STREQ(quarnel_error_name(15), "QUARNEL_ERROR_STREAM_TRUNCATED");
  EXPECT_EQ(quarnel_error_name(16), nullptr);
}

// The codec's own report: the coefficient string is its first large allocation.
TEST(COutOfMemory, TheCodecReportPassesThrough) {
  const std::vector<float> x = sines(100000);
  std::string cpp;
  Bytes stream(1 << 20);  // allocated before the hook makes large requests fail
  std::size_t size = stream.size();
  Outcome out{};
  const auto probe = alloc_hook::run(
      0,
      [&] {
        const auto result = compress(x, {});
        if (!result) cpp = result.error().message();
        out = run([&](char* m, std::size_t ms) {
          return quarnel_compress(x.data(), x.size(), nullptr, stream.data(), &size, m, ms);
        });
      },
      150000);
  EXPECT_TRUE(probe.failed);
  EXPECT_EQ(out, (Outcome{QUARNEL_ERROR_OUT_OF_MEMORY, cpp}));
  EXPECT_TRUE(cpp.starts_with("Out of memory, can't allocate additional ")) << cpp;
}

// Each allocation of a call made to fail in turn: the call either succeeds
// with the right result or returns a code, never throws, never leaks.
TEST(COutOfMemory, EveryFailedAllocationBecomesACode) {
  const std::vector<float> x = ecg_like(2000);
  const Bytes expected = compress_stored(std::span<const float>(x), {}, {}, 1).value();
  const std::vector<float> restored = decompress_with_trailer(expected, 1).value().samples;
  int caught_at_the_boundary = 0;
  for (std::size_t fail_at = 1;; ++fail_at) {
    std::uint8_t* stream = nullptr;
    float* samples = nullptr;
    std::size_t size = 0, count = 0;
    // Nothing of the test's own allocates while the hook runs.
    char messages[2][QUARNEL_MESSAGE_SIZE];
    int codes[2] = {};
    const alloc_hook::Outcome probes[2] = {
        alloc_hook::run(fail_at,
                        [&] {
                          codes[0] = quarnel_compress_alloc(x.data(), x.size(), nullptr, &stream,
                                                            &size, messages[0], sizeof messages[0]);
                        }),
        alloc_hook::run(fail_at, [&] {
          codes[1] = quarnel_decompress_alloc(expected.data(), expected.size(), 1, &samples, &count,
                                              messages[1], sizeof messages[1]);
        })};
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(probes[k].live_blocks, 0) << fail_at;
      EXPECT_EQ(codes[k] != QUARNEL_OK, probes[k].failed) << fail_at;
      if (codes[k] == QUARNEL_OK) continue;
      // The codec names the step where it catches the failure itself; the
      // rANS decoder takes an output it cannot allocate for an oversized
      // length, which reads as damage.
      EXPECT_TRUE(codes[k] == QUARNEL_ERROR_OUT_OF_MEMORY ||
                  codes[k] == (k == 0 ? QUARNEL_ERROR_TRANSFORM_FAILED
                                      : QUARNEL_ERROR_STREAM_DAMAGED))
          << fail_at << ": " << messages[k];
      caught_at_the_boundary += std::string(messages[k]) == "Out of memory";
    }
    if (codes[0] == QUARNEL_OK) {
      EXPECT_EQ(Bytes(stream, stream + size), expected) << fail_at;
    }
    if (codes[1] == QUARNEL_OK) {
      EXPECT_EQ(std::vector<float>(samples, samples + count), restored) << fail_at;
    }
    quarnel_free(stream);
    quarnel_free(samples);
    if (!probes[0].failed && !probes[1].failed) break;
  }
  EXPECT_GT(caught_at_the_boundary, 0);
}

}  // namespace
}  // namespace quarnel

// The C interface against the C++ calls it wraps: the same bytes and samples,
// the codec's messages unchanged, a code for every failure, and no exception
// or leak when memory runs out.
#include "quarnel/quarnel_c.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "codec_test_util.h"
#include "heap_probe.h"
#include "quarnel/band_layout.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

// One C call's code and message.
struct Outcome {
  int code;
  std::string message;
};

using Call = std::function<int(char*, std::size_t)>;

Outcome run(const Call& call) {
  char message[QUARNEL_MESSAGE_SIZE];
  std::memset(message, 'x', sizeof message);
  const int code = call(message, sizeof message);
  return {code, message};
}

quarnel_options c_options(const CompressionOptions& o, unsigned threads) {
  quarnel_options c;
  quarnel_options_init(&c);
  c.method = static_cast<std::uint8_t>(o.method);
  c.scale = o.scale;
  c.cutoff = static_cast<std::uint8_t>(o.cutoff);
  c.coder = static_cast<std::uint8_t>(o.coder);
  c.threads = threads;
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
  samples.assign(stream.size() * 64 + 64, -1.0f);  // ample for the streams used here
  std::size_t count = samples.size();
  const Outcome out = run([&](char* m, std::size_t ms) {
    return quarnel_decompress(stream.data(), stream.size(), threads, samples.data(), &count, m, ms);
  });
  samples.resize(out.code == QUARNEL_OK ? count : 0);
  return out;
}

// --- round trips ----------------------------------------------------------

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
  EXPECT_EQ(compress_c(x, &c, stream).code, QUARNEL_OK);
  EXPECT_EQ(stream, expected);

  std::uint8_t* owned = nullptr;
  std::size_t owned_size = 0;
  const Outcome alloc = run([&](char* m, std::size_t ms) {
    return quarnel_compress_alloc(x.data(), x.size(), &c, &owned, &owned_size, m, ms);
  });
  EXPECT_EQ(alloc.code, QUARNEL_OK);
  EXPECT_EQ(alloc.message, "");  // a success clears the buffer
  EXPECT_EQ(Bytes(owned, owned + owned_size), expected);
  quarnel_free(owned);

  std::size_t length = 0;
  EXPECT_EQ(quarnel_decompressed_length(expected.data(), expected.size(), &length, nullptr, 0),
            QUARNEL_OK);
  EXPECT_EQ(length, x.size());

  std::vector<float> samples;
  EXPECT_EQ(decompress_c(expected, threads, samples).code, QUARNEL_OK);
  EXPECT_EQ(samples, restored);

  float* decoded = nullptr;
  std::size_t count = 0;
  EXPECT_EQ(quarnel_decompress_alloc(expected.data(), expected.size(), threads, &decoded, &count,
                                     nullptr, 0),
            QUARNEL_OK);
  EXPECT_EQ(std::vector<float>(decoded, decoded + count), restored);
  quarnel_free(decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Options, CRoundTrip,
    ::testing::Values(std::make_tuple(WaveletMethod::cdf97, CoderChoice::auto_, 1u),
                      std::make_tuple(WaveletMethod::cdf53, CoderChoice::deflate, 1u),
                      std::make_tuple(WaveletMethod::db4, CoderChoice::arans, 2u),
                      std::make_tuple(WaveletMethod::sym4, CoderChoice::deflate, 0u)));

TEST(COptions, DefaultsAreTheCppDefaults) {
  const std::vector<float> x = sines(777);
  Bytes stream;
  EXPECT_EQ(compress_c(x, nullptr, stream).code, QUARNEL_OK);
  EXPECT_EQ(stream, compressed(x, {}));
  const quarnel_options c = c_options({}, 1);
  quarnel_options defaults;
  quarnel_options_init(&defaults);
  EXPECT_EQ(std::memcmp(&c, &defaults, sizeof c), 0);
}

// --- a buffer too small: the size needed, and nothing written ---------------

TEST(CBuffers, TooSmallReportsTheSizeNeededAndWritesNothing) {
  const std::vector<float> x = sines(2000);
  const Bytes expected = compressed(x, {});

  std::size_t size = 0;  // a query: no buffer at all
  EXPECT_EQ(quarnel_compress(x.data(), x.size(), nullptr, nullptr, &size, nullptr, 0),
            QUARNEL_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, expected.size());
  Bytes stream(expected.size() - 1, 0xAA);
  size = stream.size();
  const Outcome out = run([&](char* m, std::size_t ms) {
    return quarnel_compress(x.data(), x.size(), nullptr, stream.data(), &size, m, ms);
  });
  EXPECT_EQ(out.code, QUARNEL_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(out.message, "Output buffer holds " + std::to_string(expected.size() - 1) +
                             " bytes, but the stream needs " + std::to_string(expected.size()));
  EXPECT_EQ(size, expected.size());
  EXPECT_EQ(stream, Bytes(expected.size() - 1, 0xAA));

  std::vector<float> samples(x.size() - 1, 7.0f);
  std::size_t count = samples.size();
  EXPECT_EQ(
      quarnel_decompress(expected.data(), expected.size(), 1, samples.data(), &count, nullptr, 0),
      QUARNEL_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, x.size());
  EXPECT_EQ(samples, std::vector<float>(x.size() - 1, 7.0f));
}

TEST(CMessages, AreCutToTheCallersBuffer) {
  const Bytes stream(60, 0);
  char message[9];
  std::memset(message, 'x', sizeof message);
  std::size_t count = 0;
  EXPECT_EQ(quarnel_decompressed_length(stream.data(), stream.size(), &count, message, 8),
            QUARNEL_ERROR_INVALID_MAGIC);
  EXPECT_STREQ(message, "Magic s");
  EXPECT_EQ(message[8], 'x');
}

// --- every codec error: its code, and the C++ call's message unchanged -----

struct CodecFault {
  const char* name;  // quarnel_error_name of the expected code
  int code;
  std::function<void(Bytes&)> damage;  // the stream to decompress
  bool in_header;                      // quarnel_decompressed_length fails alike
};

Bytes good_stream() {
  return compressed(sines(1000), {.coder = CoderChoice::arans});
}

class CDecodeError : public ::testing::TestWithParam<CodecFault> {};

TEST_P(CDecodeError, HasItsCodeAndTheCodecMessage) {
  const CodecFault& fault = GetParam();
  Bytes stream = good_stream();
  fault.damage(stream);
  const auto cpp = decompress(stream);
  ASSERT_FALSE(cpp.has_value());
  const Outcome expected{fault.code, cpp.error().message()};
  EXPECT_STREQ(quarnel_error_name(fault.code), fault.name);

  std::vector<float> samples;
  const Outcome into = decompress_c(stream, 1, samples);
  EXPECT_EQ(std::tie(into.code, into.message), std::tie(expected.code, expected.message));

  float sentinel = 0.0f;
  float* owned = &sentinel;  // a failure leaves null
  std::size_t count = 1;
  const Outcome alloc = run([&](char* m, std::size_t ms) {
    return quarnel_decompress_alloc(stream.data(), stream.size(), 1, &owned, &count, m, ms);
  });
  EXPECT_EQ(std::tie(alloc.code, alloc.message), std::tie(expected.code, expected.message));
  EXPECT_EQ(owned, nullptr);
  EXPECT_EQ(count, 0u);

  const Outcome length = run([&](char* m, std::size_t ms) {
    return quarnel_decompressed_length(stream.data(), stream.size(), &count, m, ms);
  });
  if (fault.in_header) {
    EXPECT_EQ(std::tie(length.code, length.message), std::tie(expected.code, expected.message));
  } else {
    EXPECT_EQ(length.code, QUARNEL_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CDecodeError,
    ::testing::Values(
        CodecFault{"QUARNEL_ERROR_INVALID_METHOD", 1, [](Bytes& b) { b[8] = 'x'; }, true},
        CodecFault{"QUARNEL_ERROR_INVALID_MAGIC", 2, [](Bytes& b) { b[0] = 'X'; }, true},
        CodecFault{"QUARNEL_ERROR_INVALID_FORMAT_TAG", 3, [](Bytes& b) { b[7] = '4'; }, true},
        CodecFault{"QUARNEL_ERROR_INVALID_VERSION", 4, [](Bytes& b) { b[4] = 2; }, true},
        // CDF 9/7 bands of 10 samples over 4 levels, which the inverse refuses.
        CodecFault{"QUARNEL_ERROR_TRANSFORM_FAILED", 5,
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
        CodecFault{"QUARNEL_ERROR_INVALID_HEADER", 8, [](Bytes& b) { b.resize(51); }, true},
        CodecFault{"QUARNEL_ERROR_DECOMPRESSION_FAILED", 10, [](Bytes& b) { b.pop_back(); }, true},
        CodecFault{"QUARNEL_ERROR_DECOMPRESSION_FAILED", 10,
                   [](Bytes& b) { b[kHeaderSize + 1] = 9; }, false},
        CodecFault{"QUARNEL_ERROR_UNSUPPORTED_SCALE", 11, [](Bytes& b) { b[13] = 13; }, true},
        CodecFault{"QUARNEL_ERROR_UNKNOWN_CODER", 12, [](Bytes& b) { b[14] = 7; }, true}));

class CCompressError
    : public ::testing::TestWithParam<std::tuple<const char*, int, std::size_t, quarnel_options>> {
};

TEST_P(CCompressError, HasItsCodeAndTheCodecMessage) {
  const auto& [name, code, n, c] = GetParam();
  const std::vector<float> x = triangle_steps(n);
  const CompressionOptions options{.cutoff = static_cast<CutoffLevel>(c.cutoff),
                                   .coder = static_cast<CoderChoice>(c.coder),
                                   .method = static_cast<WaveletMethod>(c.method),
                                   .scale = c.scale};
  const auto cpp = compress(x, options);
  ASSERT_FALSE(cpp.has_value());
  Bytes stream;
  const Outcome out = compress_c(x, &c, stream);
  EXPECT_EQ(out.code, code);
  EXPECT_EQ(out.message, cpp.error().message());
  EXPECT_STREQ(quarnel_error_name(code), name);
}

quarnel_options with(void (*change)(quarnel_options&)) {
  quarnel_options c;
  quarnel_options_init(&c);
  change(c);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Options, CCompressError,
    ::testing::Values(std::make_tuple("QUARNEL_ERROR_UNSUPPORTED_SCALE", 11, 100,
                                      with([](quarnel_options& c) { c.scale = 5; })),
                      std::make_tuple("QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION", 9, 100,
                                      with([](quarnel_options& c) { c.method = 4; })),
                      std::make_tuple("QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION", 9, 0,
                                      with([](quarnel_options&) {}))));

// --- misuse of the interface ------------------------------------------------

struct Misuse {
  const char* name;
  int code;
  const char* in_message;
  std::function<int(char*, std::size_t)> call;
};

class CMisuse : public ::testing::TestWithParam<Misuse> {};

TEST_P(CMisuse, IsRefusedWithItsCode) {
  const Misuse& misuse = GetParam();
  const Outcome out = run(misuse.call);
  EXPECT_EQ(out.code, misuse.code);
  EXPECT_STREQ(quarnel_error_name(misuse.code), misuse.name);
  EXPECT_NE(out.message.find(misuse.in_message), std::string::npos) << out.message;
}

const float kSamples[64] = {1.0f, 2.0f};
const Bytes& stream_of_samples() {
  static const Bytes stream = compressed(kSamples, {});
  return stream;
}

Misuse null_case(const char* argument, std::function<int(char*, std::size_t)> call) {
  return {"QUARNEL_ERROR_NULL_POINTER", 64, argument, std::move(call)};
}

Misuse struct_size_case(std::uint32_t size) {
  return {"QUARNEL_ERROR_BAD_STRUCT_SIZE", 66, "struct_size is", [size](char* m, std::size_t ms) {
            quarnel_options c;
            quarnel_options_init(&c);
            c.struct_size = size;
            std::size_t n = 0;
            return quarnel_compress(kSamples, 64, &c, nullptr, &n, m, ms);
          }};
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CMisuse,
    ::testing::Values(
        null_case("samples",
                  [](char* m, std::size_t ms) {
                    std::size_t n = 0;
                    return quarnel_compress(nullptr, 5, nullptr, nullptr, &n, m, ms);
                  }),
        null_case("stream_size",
                  [](char* m, std::size_t ms) {
                    return quarnel_compress(kSamples, 64, nullptr, nullptr, nullptr, m, ms);
                  }),
        null_case("stream",
                  [](char* m, std::size_t ms) {
                    std::size_t n = 100;
                    return quarnel_compress(kSamples, 64, nullptr, nullptr, &n, m, ms);
                  }),
        null_case("stream",
                  [](char* m, std::size_t ms) {
                    std::size_t n = 0;
                    return quarnel_compress_alloc(kSamples, 64, nullptr, nullptr, &n, m, ms);
                  }),
        null_case("stream",
                  [](char* m, std::size_t ms) {
                    std::size_t n = 0;
                    return quarnel_decompressed_length(nullptr, 60, &n, m, ms);
                  }),
        null_case("sample_count",
                  [](char* m, std::size_t ms) {
                    const Bytes& s = stream_of_samples();
                    return quarnel_decompressed_length(s.data(), s.size(), nullptr, m, ms);
                  }),
        null_case("samples",
                  [](char* m, std::size_t ms) {
                    const Bytes& s = stream_of_samples();
                    std::size_t n = 64;
                    return quarnel_decompress(s.data(), s.size(), 1, nullptr, &n, m, ms);
                  }),
        null_case("samples",
                  [](char* m, std::size_t ms) {
                    const Bytes& s = stream_of_samples();
                    std::size_t n = 0;
                    return quarnel_decompress_alloc(s.data(), s.size(), 1, nullptr, &n, m, ms);
                  }),
        Misuse{"QUARNEL_ERROR_BUFFER_TOO_SMALL", 65, "holds 63 samples, but the stream has 64",
               [](char* m, std::size_t ms) {
                 const Bytes& s = stream_of_samples();
                 std::vector<float> out(63);
                 std::size_t n = out.size();
                 return quarnel_decompress(s.data(), s.size(), 1, out.data(), &n, m, ms);
               }},
        struct_size_case(0), struct_size_case(11), struct_size_case(13)));

// --- out of memory ------------------------------------------------------------

// The codec's own report: the coefficient string, its first large allocation.
TEST(COutOfMemory, CodecReportPassesThrough) {
  const std::vector<float> x = sines(100000);
  std::string cpp;
  alloc_hook::run(
      0,
      [&] {
        const auto r = compress(x, {});
        if (!r) cpp = r.error().message();
      },
      150000);
  Outcome out{};
  Bytes stream(1 << 20);
  std::size_t size = stream.size();
  const auto probe = alloc_hook::run(
      0,
      [&] {
        out = run([&](char* m, std::size_t ms) {
          return quarnel_compress(x.data(), x.size(), nullptr, stream.data(), &size, m, ms);
        });
      },
      150000);
  EXPECT_TRUE(probe.failed);
  EXPECT_EQ(out.code, QUARNEL_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(out.message, cpp);
  EXPECT_TRUE(cpp.starts_with("Out of memory, can't allocate additional ")) << cpp;
}

// Each allocation of a call made to fail in turn: the call either succeeds
// with the right result or returns a code, never throws, never leaks.
TEST(COutOfMemory, EveryFailedAllocationBecomesACode) {
  const std::vector<float> x = ecg_like(2000);
  const Bytes expected = compressed(x, {});
  const std::vector<float> restored = *decompress(expected);
  int boundary_reports = 0;
  for (std::size_t fail_at = 1;; ++fail_at) {
    std::uint8_t* stream = nullptr;
    std::size_t size = 0;
    float* samples = nullptr;
    std::size_t count = 0;
    // Nothing of the test's own allocates while the hook runs.
    char enc_message[QUARNEL_MESSAGE_SIZE], dec_message[QUARNEL_MESSAGE_SIZE];
    int enc_code = 0, dec_code = 0;
    const auto encoding = alloc_hook::run(fail_at, [&] {
      enc_code = quarnel_compress_alloc(x.data(), x.size(), nullptr, &stream, &size, enc_message,
                                        sizeof enc_message);
    });
    const auto decoding = alloc_hook::run(fail_at, [&] {
      dec_code = quarnel_decompress_alloc(expected.data(), expected.size(), 1, &samples, &count,
                                          dec_message, sizeof dec_message);
    });
    const Outcome enc{enc_code, enc_message}, dec{dec_code, dec_message};
    for (const auto& [probe, outcome] : {std::tie(encoding, enc), std::tie(decoding, dec)}) {
      EXPECT_EQ(probe.live_blocks, 0) << fail_at;
      EXPECT_EQ(outcome.code != QUARNEL_OK, probe.failed) << fail_at;
      if (outcome.code == QUARNEL_ERROR_OUT_OF_MEMORY && outcome.message == "Out of memory") {
        ++boundary_reports;
      } else if (outcome.code != QUARNEL_OK) {
        // Where the codec catches the failure itself it names the step.
        EXPECT_TRUE(outcome.code == QUARNEL_ERROR_OUT_OF_MEMORY ||
                    outcome.code == QUARNEL_ERROR_TRANSFORM_FAILED ||
                    outcome.code == QUARNEL_ERROR_DECOMPRESSION_FAILED)
            << fail_at << ": " << outcome.message;
      }
    }
    if (enc.code == QUARNEL_OK) {
      EXPECT_EQ(Bytes(stream, stream + size), expected) << fail_at;
    }
    if (dec.code == QUARNEL_OK) {
      EXPECT_EQ(std::vector<float>(samples, samples + count), restored) << fail_at;
    }
    quarnel_free(stream);
    quarnel_free(samples);
    if (!encoding.failed && !decoding.failed) break;
  }
  EXPECT_GT(boundary_reports, 0);
}

}  // namespace
}  // namespace quarnel

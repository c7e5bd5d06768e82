// Identical streams everywhere: a golden set of inputs × every method × three
// scales (each with its own cut-off) × both coders, and a few single cases,
// whose complete streams and decoded samples are pinned by SHA-256. Each
// compiled SIMD target is forced in turn and must give the same bytes; the
// AArch64 build runs this same test under emulation against the same digests.
// The smallest stream is also spelled out byte by byte, and invalid streams
// written out literally must keep failing with their message.
//
// A raw DEFLATE payload depends on the library and its build (libdeflate
// writes them now, zlib did before), so for the DEFLATE coder the header (all
// but payload_length) and the inflated coefficient bytes are pinned instead
// of the payload; the same coefficients deflated by zlib, as the streams of
// before were, must decode to the pinned samples too.
//
// To print the table after an intended format change:
// QUARNEL_PRINT_GOLDEN=1 test_golden_streams --gtest_filter='*Pinned*'

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdlib>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#if defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include "codec_test_util.h"
#include "quarnel/store.h"
#include "quarnel/trailer.h"
#include "sha256.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

struct Input {
  const char* name;
  std::vector<float> (*make)();
};

// Built from integer arithmetic and exact float operations only: the same
// bits on every machine.
std::vector<float> walk_2500() {
  return random_walk(2500, 42);
}
std::vector<float> triangle_777() {
  return triangle_steps(777);
}
std::vector<float> noise_61() {
  return noise(61, 7, 2.0f);
}
std::vector<float> non_finite_300() {
  std::vector<float> x = noise(300, 13, 0.5f);
  for (std::size_t i = 3; i < x.size(); i += 7) {
    x[i] = i % 3 == 0   ? std::numeric_limits<float>::quiet_NaN()
           : i % 3 == 1 ? std::numeric_limits<float>::infinity()
                        : -std::numeric_limits<float>::infinity();
  }
  return x;
}

const Input kInputs[] = {{"walk2500", walk_2500},
                         {"triangle777", triangle_777},
                         {"noise61", noise_61},
                         {"nonfinite300", non_finite_300}};

struct Case {
  std::string label;
  std::vector<float> signal;
  CompressionOptions options;
};

// Beyond the grid below: the default options (automatic coder, scale 11), the
// automatic coder on a short signal, scales 8 and 10, a length just past a
// power of two and a single sample.
std::vector<Case> single_cases() {
  return {
      {"triangle1000 default", triangle_steps(1000), {}},
      {"walk4097 cdf53 s8 medium arans",
       random_walk(4097, 42),
       {.cutoff = CutoffLevel::medium,
        .coder = CoderChoice::arans,
        .method = WaveletMethod::cdf53,
        .scale = 8}},
      {"triangle77 sym4 s6 low auto",
       triangle_steps(77),
       {.cutoff = CutoffLevel::low,
        .coder = CoderChoice::auto_,
        .method = WaveletMethod::sym4,
        .scale = 6}},
      {"walk2000 cdf97 s10 low deflate",
       random_walk(2000, 5),
       {.cutoff = CutoffLevel::low,
        .coder = CoderChoice::deflate,
        .method = WaveletMethod::cdf97,
        .scale = 10}},
      {"one sample default", {5.0f}, {}},
  };
}

struct Setting {
  std::uint8_t scale;
  CutoffLevel cutoff;
  const char* name;
};
const Setting kSettings[] = {
    {6, CutoffLevel::low, "s6 low"},
    {9, CutoffLevel::medium, "s9 medium"},
    {12, CutoffLevel::high, "s12 high"},
};

std::vector<Case> golden_cases() {
  std::vector<Case> cases;
  for (const Input& input : kInputs) {
    const std::vector<float> x = input.make();
    for (const WaveletMethod method : kMethods) {
      for (const Setting& s : kSettings) {
        for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
          cases.push_back(
              {std::string(input.name) + " " + name_of(method) + " " + s.name +
                   (coder == CoderChoice::deflate ? " deflate" : " arans"),
               x,
               {.cutoff = s.cutoff, .coder = coder, .method = method, .scale = s.scale}});
        }
      }
    }
  }
  for (Case& c : single_cases()) cases.push_back(std::move(c));
  return cases;
}

struct Digests {
  std::string stream;
  std::string samples;
};

std::string samples_digest(const std::vector<float>& y) {
  return sha256({reinterpret_cast<const std::uint8_t*>(y.data()), y.size() * 4});
}

Digests digests_of(const Case& c) {
  const Bytes stream = compressed(c.signal, c.options);
  const bool deflate = header_of(stream).coder == kCoderDeflate;
  const Bytes coefficients = deflate ? coefficient_bytes(stream) : Bytes{};
  Sha256 pinned;
  if (deflate) {
    pinned.update(std::span(stream).subspan(0, 32));  // up to payload_length
    pinned.update(std::span(stream).subspan(36, 16));
    pinned.update(coefficients);
  } else {
    pinned.update(stream);
  }
  const auto y = decompress(stream);
  EXPECT_TRUE(y.has_value()) << c.label;
  if (!y) return {};
  const std::string samples = samples_digest(*y);
  if (deflate) {
    const auto by_zlib = decompress(make_stream(header_of(stream), coefficients));
    EXPECT_EQ(by_zlib ? samples_digest(*by_zlib) : by_zlib.error().message(), samples)
        << c.label << ", deflated by zlib";
  }
  return {pinned.hex(), samples};
}

struct Pinned {
  const char* label;
  const char* stream;
  const char* samples;
};

#include "golden_streams_table.inc"

// ---------------------------------------------------------------------------
// The bounded encoder decides from floating-point estimates and decodes of
// its candidates: its streams, trailer included, are pinned the same way, for
// each kind of target with the wavelet and coder pinned and left to it, for
// the fast DEFLATE writer, and for 1, 2 and 4 threads.

struct BoundedCase {
  std::string label;
  std::vector<float> signal;
  BoundedOptions options;
};

std::vector<float> constant_64() {
  return std::vector<float>(64, 2.5f);
}
std::vector<float> short_5() {
  return noise(5, 3, 4.0f);
}
// A recording's stand-in: corners and steps with noise on top.
std::vector<float> steps_and_noise_3000() {
  std::vector<float> x = triangle_steps(3000);
  const std::vector<float> n = noise(3000, 21, 0.05f);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] += n[i];
  return x;
}

const Input kBoundedInputs[] = {{"steps3000", steps_and_noise_3000},
                                {"walk2500", walk_2500},
                                {"nonfinite300", non_finite_300},
                                {"constant64", constant_64},
                                {"short5", short_5}};

std::vector<BoundedCase> bounded_cases() {
  struct Target {
    ErrorTarget kind;
    double value;  // relative to the range for max_error
    const char* name;
  };
  const Target targets[] = {{ErrorTarget::max_error, 1e-2, "max_error"},
                            {ErrorTarget::relative_error, 1e-3, "rel_error"},
                            {ErrorTarget::psnr, 50.0, "psnr"}};
  std::vector<BoundedCase> cases;
  for (const Input& input : kBoundedInputs) {
    const std::vector<float> x = input.make();
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (const float v : x) {
      if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    }
    for (const Target& t : targets) {
      for (const bool pinned : {true, false}) {
        BoundedOptions o;
        o.target = t.kind;
        o.value = t.kind == ErrorTarget::max_error
                      ? t.value * std::max(static_cast<double>(hi) - lo, 1.0)
                      : t.value;
        if (pinned) {
          o.method = WaveletMethod::cdf97;
          o.coder = CoderChoice::arans;
        }
        cases.push_back(
            {std::string(input.name) + " " + t.name + (pinned ? " cdf97 arans" : " auto"), x, o});
      }
      // The fast writer: DEFLATE at level 1, whose sizes the encoder compares.
      BoundedOptions fast = cases.back().options;
      fast.coder = CoderChoice::deflate;
      fast.deflate_level = 1;
      cases.push_back({std::string(input.name) + " " + t.name + " deflate level 1", x, fast});
    }
  }
  return cases;
}

// As for compress()'s streams, a DEFLATE payload is pinned by what it
// inflates to; the trailer's CRC, which covers the payload, is left out then.
Digests bounded_digests_of(const BoundedCase& c, unsigned threads) {
  const auto result =
      compress_bounded_stored(std::span<const float>(c.signal), c.options, {}, threads);
  EXPECT_TRUE(result.has_value()) << c.label << ": " << result.error().message();
  if (!result) return {};
  const Bytes& stream = result->stream;
  const QuarnelHeader h = header_of(stream);
  Sha256 pinned;
  if (h.coder == kCoderDeflate) {
    const std::size_t trailer_at = kHeaderSize + h.payload_length;
    pinned.update(std::span(stream).subspan(0, 32));
    pinned.update(std::span(stream).subspan(36, 16));
    pinned.update(coefficient_bytes(stream));
    pinned.update(std::span(stream).subspan(trailer_at, stream.size() - trailer_at - 4));
  } else {
    pinned.update(stream);
  }
  const auto y = decompress_with_trailer(stream, threads);
  EXPECT_TRUE(y.has_value()) << c.label;
  if (!y) return {};
  return {pinned.hex(), samples_digest(y->samples)};
}

#include "golden_bounded_table.inc"

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(sha256({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(sha256({reinterpret_cast<const std::uint8_t*>(two_blocks.data()), two_blocks.size()}),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Fed in pieces: the same digest.
  Sha256 pieces;
  const std::vector<std::uint8_t> a(1000, 'a');
  for (int i = 0; i < 1000; ++i) pieces.update(a);
  EXPECT_EQ(pieces.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(GoldenStreams, PinnedOnEveryTarget) {
  const std::vector<Case> cases = golden_cases();
  if (std::getenv("QUARNEL_PRINT_GOLDEN") != nullptr) {
    for (const Case& c : cases) {
      const Digests d = digests_of(c);
      std::cout << "    {\"" << c.label << "\",\n     \"" << d.stream << "\",\n     \"" << d.samples
                << "\"},\n";
    }
    GTEST_SKIP() << "printed the table";
  }
  ASSERT_EQ(cases.size(), std::size(kPinned));
  std::string ran;
  for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    ran += std::string(hwy::TargetName(target)) + " ";
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const std::string where = cases[i].label + " on " + hwy::TargetName(target);
      ASSERT_EQ(cases[i].label, kPinned[i].label);
      const Digests d = digests_of(cases[i]);
      EXPECT_EQ(d.stream, kPinned[i].stream) << where;
      EXPECT_EQ(d.samples, kPinned[i].samples) << where;
    }
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  std::cout << "targets: " << ran << "\n";
}

TEST(GoldenStreams, BoundedPinnedOnEveryTargetAndThreadCount) {
  const std::vector<BoundedCase> cases = bounded_cases();
  if (std::getenv("QUARNEL_PRINT_GOLDEN") != nullptr) {
    for (const BoundedCase& c : cases) {
      const Digests d = bounded_digests_of(c, 1);
      std::cout << "    {\"" << c.label << "\",\n     \"" << d.stream << "\",\n     \"" << d.samples
                << "\"},\n";
    }
    GTEST_SKIP() << "printed the table";
  }
  ASSERT_EQ(cases.size(), std::size(kPinnedBounded));
  for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    for (std::size_t i = 0; i < cases.size(); ++i) {
      ASSERT_EQ(cases[i].label, kPinnedBounded[i].label);
      for (const unsigned threads : {1u, 2u, 4u}) {
        const std::string where = cases[i].label + " on " + hwy::TargetName(target) + ", " +
                                  std::to_string(threads) + " threads";
        const Digests d = bounded_digests_of(cases[i], threads);
        EXPECT_EQ(d.stream, kPinnedBounded[i].stream) << where;
        EXPECT_EQ(d.samples, kPinnedBounded[i].samples) << where;
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

// Every vector extension the processor reports has its Highway target
// compiled and run by the per-target tests; a build that quietly kept only
// the baseline target would test one code path and pass.
TEST(GoldenStreams, EveryTargetThisCpuHasRuns) {
  std::int64_t ran = 0;
  std::string names;
  for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    ran |= target;
    names += std::string(hwy::TargetName(target)) + " ";
  }
  std::cout << "targets: " << names << "\n";
  EXPECT_GE(hwy::SupportedAndGeneratedTargets().size(), 2u);
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_TRUE(ran & HWY_AVX2) << names;
  }
  if (__builtin_cpu_supports("sse4.2")) {
    EXPECT_TRUE(ran & HWY_SSE4) << names;
  }
  if (__builtin_cpu_supports("avx512bw")) {
    EXPECT_TRUE(ran & HWY_AVX3) << names;
  }
#elif defined(__aarch64__) && defined(__linux__)
  EXPECT_TRUE(ran & HWY_NEON) << names;
  if (getauxval(AT_HWCAP) & HWCAP_SVE) {
    EXPECT_TRUE(ran & (HWY_SVE | HWY_SVE_256)) << names;
  }
  if (getauxval(AT_HWCAP2) & HWCAP2_SVE2) {
    EXPECT_TRUE(ran & (HWY_SVE2 | HWY_SVE2_128)) << names;
  }
#endif
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

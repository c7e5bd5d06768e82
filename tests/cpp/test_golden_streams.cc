// Identical streams everywhere: a golden set of inputs × every method × three
// scales (each with its own cut-off) × both coders, whose complete streams and
// decoded samples are pinned by SHA-256. Each compiled SIMD target is forced
// in turn and must give the same bytes; the AArch64 build runs this same test
// under emulation against the same digests.
//
// A raw DEFLATE payload depends on the zlib build, so for the DEFLATE coder
// the header (all but payload_length) and the inflated coefficient bytes are
// pinned instead of the payload.
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

struct Case {
  std::string label;
  std::vector<float> signal;
  CompressionOptions options;
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
  return cases;
}

struct Digests {
  std::string stream;
  std::string samples;
};

Digests digests_of(const Case& c) {
  const Bytes stream = compressed(c.signal, c.options);
  Sha256 pinned;
  if (header_of(stream).coder == kCoderDeflate) {
    const Bytes coefficients = coefficient_bytes(stream);
    pinned.update(std::span(stream).subspan(0, 32));  // up to payload_length
    pinned.update(std::span(stream).subspan(36, 16));
    pinned.update(coefficients);
  } else {
    pinned.update(stream);
  }
  const auto y = decompress(stream);
  EXPECT_TRUE(y.has_value()) << c.label;
  if (!y) return {};
  return {pinned.hex(), sha256({reinterpret_cast<const std::uint8_t*>(y->data()), y->size() * 4})};
}

struct Pinned {
  const char* label;
  const char* stream;
  const char* samples;
};

#include "golden_streams_table.inc"

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

}  // namespace
}  // namespace quarnel

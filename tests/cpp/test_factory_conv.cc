// The factory's orthogonal wavelets: kernel choice by tap count and the
// multi-level operations over the convolution kernels (shared use from many
// threads is in test_concurrency.cc).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "conv_test_support.h"
#include "lumvet/daubechies.h"

namespace lumvet {
namespace {

using namespace testing_support;
using testing_util::view_of;

TEST(FactoryConv, CodecWaveletsHaveEightTaps) {
  for (const auto& executor : {Lumvet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap),
                               Lumvet::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap)}) {
    EXPECT_EQ(executor->filter_length(), 8u);
    EXPECT_EQ(executor->dwt_size(100), (DwtSize{53, 53}));
    EXPECT_EQ(executor->idwt_size(53, 53), 100u);
    EXPECT_EQ(executor->required_scratch_size(100), 0u);
  }
}

TEST(FactoryConv, HaarIsTheTwoTapKernel) {
  const auto executor = Lumvet::make_daubechies_f32(DaubechiesFamily::Db1, BorderMode::Clamp);
  EXPECT_EQ(executor->filter_length(), 2u);
  EXPECT_EQ(executor->dwt_size(5), (DwtSize{3, 3}));
  EXPECT_EQ(executor->idwt_size(3, 3), 6u);
}

// Fixed kernels need no scratch; the N-tap executor reports its arena.
TEST(FactoryConv, KernelChoiceByTapCount) {
  auto check = [](const DwtExecutorHandle& executor, std::size_t taps) {
    SCOPED_TRACE("taps " + std::to_string(taps));
    EXPECT_EQ(executor->filter_length(), taps);
    const std::size_t arena = taps - 2 + ((100 + taps - 1) & ~std::size_t{1});
    EXPECT_EQ(executor->required_scratch_size(100), has_fixed_kernel(taps) ? 0u : arena);
  };
  for (std::uint32_t k = 0; k < 24; ++k) {
    check(Lumvet::make_daubechies_f32(static_cast<DaubechiesFamily>(k), BorderMode::Wrap),
          2 * (k + 1));
  }
  for (std::uint32_t k = 0; k < 19; ++k) {
    check(Lumvet::make_symlet_f32(static_cast<SymletFamily>(k), BorderMode::Wrap), 2 * (k + 2));
  }
  EXPECT_EQ(Lumvet::make_daubechies_f32(DaubechiesFamily::Db7, BorderMode::Wrap)
                ->required_scratch_size(100),
            124u);
  EXPECT_EQ(
      Lumvet::make_symlet_f32(SymletFamily::Sym7, BorderMode::Wrap)->required_scratch_size(100),
      124u);
}

TEST(FactoryConv, WaveletNTapsKeepsTheTaps) {
  const auto taps = get_wavelet(SymletFamily::Sym4);
  const auto kernel = DwtFactory::wavelet_n_taps(BorderMode::Reflect, taps);
  EXPECT_EQ(kernel->filter_length(), 8u);
  EXPECT_EQ(kernel->required_scratch_size(9), 6u + 16u);
  const auto x = test_signal(37, 8);
  const Bands expected = reference_forward(x, taps, BorderMode::Reflect);
  std::vector<float> a(expected.approximation.size()), d(a.size());
  ASSERT_TRUE(kernel->execute_forward(x, a, d).has_value());
  EXPECT_EQ(first_bit_difference(a, expected.approximation), -1);
  EXPECT_EQ(first_bit_difference(d, expected.details), -1);
}

TEST(FactoryConv, FactoryKernelsGiveTheReferenceBits) {
  // The factory fills the slot arrays (mirror rule, zero padding) as the
  // kernels expect: coefficients equal the reference for the family's taps.
  for (std::uint32_t k = 0; k < 24; ++k) {
    const auto family = static_cast<DaubechiesFamily>(k);
    const auto taps = get_wavelet(family);
    for (BorderMode mode : {BorderMode::Wrap, BorderMode::Reflect101}) {
      const auto executor = Lumvet::make_daubechies_f32(family, mode);
      const auto x = test_signal(3 * taps.size() + 1, k);
      const auto dwt = executor->dwt(x, 1);
      ASSERT_TRUE(dwt.has_value());
      const Bands expected = reference_forward(x, taps, mode);
      EXPECT_EQ(first_bit_difference(dwt->approximation, expected.approximation), -1) << k;
      EXPECT_EQ(first_bit_difference(dwt->details, expected.details), -1) << k;
    }
  }
}

TEST(FactoryConv, MultiLevelLengthsAndReconstruction) {
  const auto executor = Lumvet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap);
  for (auto [n, lengths, out] :
       {std::tuple<std::size_t, std::vector<std::size_t>, std::size_t>{100, {53, 30, 18}, 100},
        {101, {54, 30, 18}, 102}}) {
    const auto x = test_signal(n, 1);
    const auto decomposition = executor->multi_dwt(x, 3);
    ASSERT_TRUE(decomposition.has_value());
    ASSERT_EQ(decomposition->levels.size(), 3u);
    for (std::size_t level = 0; level < 3; ++level) {
      EXPECT_EQ(decomposition->levels[level].approximation.size(), lengths[level]);
      EXPECT_EQ(decomposition->levels[level].details.size(), lengths[level]);
    }
    const auto y = executor->multi_idwt(view_of(*decomposition));
    ASSERT_TRUE(y.has_value());
    ASSERT_EQ(y->size(), out);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR((*y)[i], x[i], 3e-6);
  }
}

TEST(FactoryConv, ShortInputs) {
  const auto executor = Lumvet::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap);
  const auto seven = test_signal(7, 2);
  EXPECT_EQ(executor->multi_dwt(seven, 2).error().kind, LumvetErrorKind::BufferTooSmallForLevel);
  EXPECT_EQ(executor->multi_dwt(seven, 1).error().message(), "Input size 7 can't be less than 8");
  const auto twenty = test_signal(20, 2);
  const auto four = executor->multi_dwt(twenty, 4);
  ASSERT_TRUE(four.has_value());
  std::vector<std::size_t> lengths;
  for (const auto& level : four->levels) lengths.push_back(level.approximation.size());
  EXPECT_EQ(lengths, (std::vector<std::size_t>{13, 10, 8, 7}));
  EXPECT_EQ(executor->multi_dwt(twenty, 5).error().kind, LumvetErrorKind::BufferTooSmallForLevel);
}

class FactoryRoundTrip : public testing::TestWithParam<std::tuple<std::uint32_t, BorderMode>> {};

// Every member of both families, several levels, every border mode.
TEST_P(FactoryRoundTrip, MultiLevelReconstruction) {
  const auto [index, mode] = GetParam();
  std::vector<DwtExecutorHandle> executors = {
      Lumvet::make_daubechies_f32(static_cast<DaubechiesFamily>(index), mode)};
  if (index < 19)
    executors.push_back(Lumvet::make_symlet_f32(static_cast<SymletFamily>(index), mode));
  for (const auto& executor : executors) {
    for (std::size_t n : {std::size_t{777}, std::size_t{1024}}) {
      const auto x = test_signal(n, index);
      const auto decomposition = executor->multi_dwt(x, 3);
      ASSERT_TRUE(decomposition.has_value());
      const auto y = executor->multi_idwt(view_of(*decomposition));
      ASSERT_TRUE(y.has_value());
      ASSERT_GE(y->size(), n);
      double worst = 0;
      for (std::size_t i = 0; i < n; ++i)
        worst = std::max(worst, std::fabs(double((*y)[i]) - x[i]));
      EXPECT_LT(worst, 5e-6) << "taps " << executor->filter_length();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllMembers, FactoryRoundTrip,
                         testing::Combine(testing::Range(0u, 24u), testing::ValuesIn(kAllModes)),
                         [](const auto& info) {
                           return "Index" + std::to_string(std::get<0>(info.param)) + "_" +
                                  mode_name(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace lumvet

namespace lumvet {
namespace {

// Coefficient bits of a fixed signal, folded into one 64-bit FNV-1a hash. The
// signal is made from integers only, so it is the same on every machine.
std::uint64_t decomposition_hash(const DwtExecutorHandle& executor) {
  std::vector<float> x(4099);
  std::uint32_t state = 12345;
  for (auto& sample : x) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23)) / 8388608.0f;
  }
  const auto decomposition = executor->multi_dwt(x, 4);
  EXPECT_TRUE(decomposition.has_value());
  std::uint64_t hash = 0xcbf29ce484222325u;
  auto fold = [&](const std::vector<float>& band) {
    for (float v : band) {
      hash ^= std::bit_cast<std::uint32_t>(v);
      hash *= 0x100000001b3u;
    }
  };
  for (const auto& level : decomposition->levels) {
    fold(level.approximation);
    fold(level.details);
  }
  const auto y = executor->multi_idwt(view_of(*decomposition));
  EXPECT_TRUE(y.has_value());
  fold(*y);
  return hash;
}

// The coefficients are defined to the bit (one fused multiply-add chain per
// output), so this hash is the same on x86-64 (AVX3, AVX2, SSE4, SSSE3,
// scalar) and AArch64 (NEON, SVE, SVE2 at any vector length). A change here
// changes every stream coded with these wavelets.
TEST(FactoryConv, SameBitsOnEveryMachine) {
  for_each_target([] {
    EXPECT_EQ(
        decomposition_hash(Lumvet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap)),
        9657284000900760147u);
    EXPECT_EQ(decomposition_hash(Lumvet::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap)),
              15376782337653642934u);
    EXPECT_EQ(
        decomposition_hash(Lumvet::make_daubechies_f32(DaubechiesFamily::Db7, BorderMode::Wrap)),
        1206279405530994583u);
  });
}

}  // namespace
}  // namespace lumvet

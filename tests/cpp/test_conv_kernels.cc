// Convolution kernels: the generic N-tap executor and the fixed-tap kernels,
// bit for bit against the scalar reference on every compiled target, round
// trips for every filter and border mode, and the size rules and checks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <tuple>
#include <vector>

#include "conv_test_support.h"
#include "lumvet/daubechies.h"

namespace lumvet {
namespace {

using namespace testing_support;

// ---------------------------------------------------------------------------
// Every target gives the bits of the scalar reference.

// A filter and the name its tests carry.
struct NamedTaps {
  std::string name;
  std::vector<float> taps;
};

// Test name of a (filter, border mode) parameter.
std::string filter_and_mode(const testing::TestParamInfo<std::tuple<NamedTaps, BorderMode>>& info) {
  return std::get<0>(info.param).name + "_" + mode_name(std::get<1>(info.param));
}

std::vector<NamedTaps> kernel_cases() {
  std::vector<NamedTaps> cases;
  for (std::uint32_t order : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 24u}) {
    cases.push_back(
        {"Db" + std::to_string(order), get_wavelet(static_cast<DaubechiesFamily>(order - 1))});
  }
  cases.push_back({"Sym4", get_wavelet(SymletFamily::Sym4)});
  cases.push_back({"Sym10", get_wavelet(SymletFamily::Sym10)});
  return cases;
}

std::vector<std::size_t> lengths_for(std::size_t taps) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = taps; n <= 3 * taps + 5; ++n) lengths.push_back(n);
  // Several full vectors of every width, odd and even.
  for (std::size_t n : {97u, 256u, 1000u, 1001u}) {
    if (n > 3 * taps + 5) lengths.push_back(n);
  }
  // Around the end of the first chunk of 1024 outputs a pulled input fills.
  for (std::size_t n = 2046 + taps; n <= 2049 + taps; ++n) lengths.push_back(n);
  lengths.push_back(5000);
  return lengths;
}

class CrossTargetTest : public testing::TestWithParam<std::tuple<NamedTaps, BorderMode>> {};

TEST_P(CrossTargetTest, ForwardAndInverseMatchScalarReferenceBitForBit) {
  const auto& [kernel, mode] = GetParam();
  const auto& taps = kernel.taps;
  const auto executors = conv_executors(mode, taps);

  for (std::size_t n : lengths_for(taps.size())) {
    SCOPED_TRACE("n = " + std::to_string(n));
    const auto x = test_signal(n, static_cast<std::uint32_t>(n));
    const Bands expected = reference_forward(x, taps, mode);
    const std::size_t e = 2 * expected.approximation.size() - taps.size() + 2;
    // The inverse starts from a nonzero output half the time: it must add.
    std::vector<float> expected_y(e, 0.0f);
    if (n % 2) expected_y = test_signal(e, 7);
    const std::vector<float> initial_y = expected_y;
    reference_inverse(expected, taps, expected_y);
    // Pushed to a sink, the output starts from zero.
    std::vector<float> expected_pushed(e, 0.0f);
    reference_inverse(expected, taps, expected_pushed);

    for_each_target([&] {
      for (const auto& executor : executors) {
        SCOPED_TRACE(executor == executors[0] ? "n-tap" : "fixed");
        Bands got{std::vector<float>(expected.approximation.size(), -1.0f),
                  std::vector<float>(expected.details.size(), -1.0f)};
        ASSERT_TRUE(executor->execute_forward(x, got.approximation, got.details).has_value());
        ASSERT_EQ(first_bit_difference(got.approximation, expected.approximation), -1);
        ASSERT_EQ(first_bit_difference(got.details, expected.details), -1);
        // The same step with the signal pulled a chunk at a time.
        std::ranges::fill(got.approximation, -1.0f);
        std::ranges::fill(got.details, -1.0f);
        testing_util::OrderedSource pulled{x};
        ASSERT_TRUE(
            executor->execute_forward_from(pulled.source(), n, got.approximation, got.details)
                .has_value());
        EXPECT_EQ(pulled.next, n);
        ASSERT_EQ(first_bit_difference(got.approximation, expected.approximation), -1);
        ASSERT_EQ(first_bit_difference(got.details, expected.details), -1);

        std::vector<float> y = initial_y;
        ASSERT_EQ(executor->idwt_size(expected.approximation.size(), expected.details.size()), e);
        ASSERT_TRUE(
            executor->execute_inverse(expected.approximation, expected.details, y).has_value());
        ASSERT_EQ(first_bit_difference(y, expected_y), -1);
        // Both bands pulled, the approximation from the output's own upper
        // half, which the pulled inverse reads before writing there.
        std::vector<float> z(e, -1.0f);
        std::ranges::copy(expected.approximation,
                          z.end() - static_cast<std::ptrdiff_t>(expected.approximation.size()));
        testing_util::OrderedSource pulled_upper{expected.approximation,
                                                 z.data() + (e - expected.approximation.size())};
        testing_util::OrderedSource pulled_details{expected.details};
        ASSERT_TRUE(executor
                        ->execute_inverse_from(pulled_upper.source(), expected.approximation.size(),
                                               pulled_details.source(), expected.details.size(), z)
                        .has_value());
        ASSERT_EQ(first_bit_difference(z, expected_pushed), -1);
        // The same inverse with both bands pulled and the output pushed.
        testing_util::OrderedSource pulled_a{expected.approximation};
        testing_util::OrderedSource pulled_d{expected.details};
        testing_util::OrderedSink pushed;
        ASSERT_TRUE(executor
                        ->execute_inverse_to(pulled_a.source(), expected.approximation.size(),
                                             pulled_d.source(), expected.details.size(),
                                             pushed.sink())
                        .has_value());
        ASSERT_EQ(first_bit_difference(pushed.y, expected_pushed), -1);
      }
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, CrossTargetTest,
                         testing::Combine(testing::ValuesIn(kernel_cases()),
                                          testing::ValuesIn(kAllModes)),
                         filter_and_mode);

TEST(ConvKernels, GatherOrderIsTheTransposedCorrelation) {
  // The reference's gather form sums the same products as the scatter form.
  for (std::uint32_t order : {1u, 4u, 7u, 12u}) {
    const auto taps = get_wavelet(static_cast<DaubechiesFamily>(order - 1));
    for (std::size_t n : {taps.size(), taps.size() + 1, 3 * taps.size() + 4}) {
      const auto x = test_signal(n, 3);
      const Bands bands = reference_forward(x, taps, BorderMode::Reflect);
      const std::size_t e = 2 * bands.approximation.size() - taps.size() + 2;
      std::vector<float> gathered(e, 0.0f);
      reference_inverse(bands, taps, gathered);
      const auto scattered = scatter_inverse(bands, taps, e);
      for (std::size_t p = 0; p < e; ++p) EXPECT_NEAR(gathered[p], scattered[p], 1e-5);
    }
  }
}

// ---------------------------------------------------------------------------
// Perfect reconstruction for every filter of both families and every mode.

std::vector<NamedTaps> all_members() {
  std::vector<NamedTaps> members;
  for (std::uint32_t k = 0; k < 24; ++k) {
    members.push_back(
        {"Db" + std::to_string(k + 1), get_wavelet(static_cast<DaubechiesFamily>(k))});
  }
  for (std::uint32_t k = 0; k < 19; ++k) {
    members.push_back({"Sym" + std::to_string(k + 2), get_wavelet(static_cast<SymletFamily>(k))});
  }
  return members;
}

class RoundTripTest : public testing::TestWithParam<std::tuple<NamedTaps, BorderMode>> {};

// With L - 2 samples of left extension, every output position gets all of its
// contributions from coefficients whose windows lie inside the extended
// signal, so reconstruction holds whatever the border samples were: the mode
// changes the coefficients, not the reconstruction.
TEST_P(RoundTripTest, InverseReproducesInputForEveryLength) {
  const auto& [member, mode] = GetParam();
  const auto& taps = member.taps;
  const std::size_t length = taps.size();
  for (const auto& executor : conv_executors(mode, taps)) {
    for (std::size_t n = length; n <= 3 * length + 5; ++n) {
      const auto x = test_signal(n, static_cast<std::uint32_t>(n + length));
      const DwtSize size = executor->dwt_size(n);
      std::vector<float> approx(size.approximation_length), details(size.details_length);
      ASSERT_TRUE(executor->execute_forward(x, approx, details).has_value());
      const std::size_t e = executor->idwt_size(approx.size(), details.size());
      ASSERT_EQ(e, n % 2 ? n + 1 : n) << "odd lengths reconstruct one extra sample";
      std::vector<float> y(e, 0.0f);
      ASSERT_TRUE(executor->execute_inverse(approx, details, y).has_value());
      double worst = 0;
      for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(double(y[i]) - x[i]));
      // Samples are below 1.2 in magnitude; the float taps are orthonormal to
      // about 1e-7, and each output sums L products.
      ASSERT_LT(worst, 2e-6) << member.name << " n " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllMembers, RoundTripTest,
                         testing::Combine(testing::ValuesIn(all_members()),
                                          testing::ValuesIn(kAllModes)),
                         filter_and_mode);

// ---------------------------------------------------------------------------
// Size rules, checks and their messages.

std::vector<float> taps_of(DaubechiesFamily family) {
  return get_wavelet(family);
}

TEST(FixedTaps, SizeRulesOfEveryMember) {
  for (std::size_t order : {1u, 2u, 3u, 4u, 5u, 6u, 8u}) {
    const auto taps = taps_of(static_cast<DaubechiesFamily>(order - 1));
    const std::size_t length = taps.size();
    const auto kernel = make_fixed(BorderMode::Wrap, taps);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(kernel->filter_length(), length);
    EXPECT_EQ(kernel->required_scratch_size(1000), 0u);
    for (std::size_t n : {length, length + 1, std::size_t{100}, std::size_t{101}}) {
      EXPECT_EQ(kernel->dwt_size(n), (DwtSize{(n + length - 1) / 2, (n + length - 1) / 2}));
    }
    EXPECT_EQ(kernel->idwt_size(53, 53), 106 - (length - 2));
  }
}

TEST(FixedTaps, EightTapLengths) {
  const auto kernel = make_fixed(BorderMode::Reflect, taps_of(DaubechiesFamily::Db4));
  EXPECT_EQ(kernel->dwt_size(8), (DwtSize{7, 7}));
  EXPECT_EQ(kernel->idwt_size(7, 7), 8u);
  EXPECT_EQ(kernel->dwt_size(9), (DwtSize{8, 8}));
  EXPECT_EQ(kernel->idwt_size(8, 8), 10u);

  const std::vector<float> seven(7, 1.0f);
  std::vector<float> a(6), d(6);
  const auto status = kernel->execute_forward(seven, a, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), (LumvetError{LumvetErrorKind::InputTooShort, 7, 8}));
  EXPECT_EQ(status.error().message(), "Input size 7 can't be less than 8");
}

TEST(FixedTaps, ChecksRunInOrderBeforeAnyOutput) {
  for (const auto& kernel : {make_fixed(BorderMode::Wrap, taps_of(DaubechiesFamily::Db4)),
                             make_n_taps(BorderMode::Wrap, taps_of(DaubechiesFamily::Db4))}) {
    const auto x = test_signal(20, 1);
    std::vector<float> a(13, 5.0f), d(13, 5.0f), short_a(12, 5.0f), short_d(12, 5.0f);
    // A short approximation is reported before a short details band.
    EXPECT_EQ(kernel->execute_forward(x, short_a, short_d).error(),
              (LumvetError{LumvetErrorKind::HalfLengthMismatch, 12, 0}));
    EXPECT_EQ(kernel->execute_forward(x, a, short_d).error(),
              (LumvetError{LumvetErrorKind::HalfLengthMismatch, 12, 0}));
    EXPECT_EQ(a, std::vector<float>(13, 5.0f)) << "nothing written on failure";
    EXPECT_EQ(kernel->execute_forward(std::span<const float>(x).first(7), short_a, short_d).error(),
              (LumvetError{LumvetErrorKind::InputTooShort, 7, 8}));

    std::vector<float> y(20, 5.0f), y_short(19, 5.0f);
    EXPECT_EQ(kernel->execute_inverse(a, short_d, y).error(),
              (LumvetError{LumvetErrorKind::ApproxDetailsMismatch, 13, 12}));
    EXPECT_EQ(kernel->execute_inverse(a, d, y_short).error(),
              (LumvetError{LumvetErrorKind::OutputSizeMismatch, 20, 19}));
    EXPECT_EQ(y_short, std::vector<float>(19, 5.0f));
  }
}

TEST(FixedTaps, ScratchIsIgnored) {
  const auto kernel = make_fixed(BorderMode::Clamp, taps_of(DaubechiesFamily::Db3));
  const auto x = test_signal(31, 2);
  const DwtSize size = kernel->dwt_size(31);
  std::vector<float> a1(size.approximation_length), d1(size.details_length);
  std::vector<float> a2(size.approximation_length), d2(size.details_length);
  ASSERT_TRUE(kernel->execute_forward(x, a1, d1).has_value());
  ASSERT_TRUE(kernel->execute_forward_with_scratch(x, a2, d2, {}).has_value());
  EXPECT_EQ(a1, a2);
  EXPECT_EQ(d1, d2);
}

TEST(TwoTaps, OddTailTakesItsBorderSample) {
  const auto taps = taps_of(DaubechiesFamily::Db1);
  const float t0 = taps[0], t1 = taps[1];
  const std::vector<float> x = {0.5f, -1.25f, 2.0f, 3.5f, -0.75f};
  // Right border sample of position 5 by mode.
  const std::pair<BorderMode, float> tails[] = {{BorderMode::Clamp, x[4]},
                                                {BorderMode::Wrap, x[0]},
                                                {BorderMode::Reflect, x[4]},
                                                {BorderMode::Reflect101, x[3]},
                                                {BorderMode::Zeros, 0.0f}};
  for (auto [mode, border] : tails) {
    SCOPED_TRACE(mode_name(mode));
    const auto kernel = make_fixed(mode, taps);
    EXPECT_EQ(kernel->dwt_size(5), (DwtSize{3, 3}));
    std::vector<float> a(3), d(3);
    ASSERT_TRUE(kernel->execute_forward(x, a, d).has_value());
    EXPECT_EQ(a[0], std::fma(t1, x[1], t0 * x[0]));
    EXPECT_EQ(a[2], std::fma(t1, border, t0 * x[4]));
    EXPECT_EQ(d[2], std::fma(-t0, border, t1 * x[4]));
    EXPECT_NEAR(a[2], 0.70710678 * (x[4] + border), 1e-6);
  }
}

TEST(TwoTaps, InverseLengthAndMessage) {
  const auto kernel = make_fixed(BorderMode::Wrap, taps_of(DaubechiesFamily::Db1));
  EXPECT_EQ(kernel->idwt_size(3, 3), 6u);
  const std::vector<float> a(3, 1.0f), d(3, 1.0f);
  std::vector<float> y(5);
  const auto status = kernel->execute_inverse(a, d, y);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message(), "Output size should be 6, but it was 5");
}

TEST(NTaps, FourteenTapSizesAndMessages) {
  const auto taps = taps_of(DaubechiesFamily::Db7);
  ASSERT_EQ(taps.size(), 14u);
  const auto kernel = make_n_taps(BorderMode::Wrap, taps);
  EXPECT_EQ(kernel->filter_length(), 14u);
  EXPECT_EQ(kernel->required_scratch_size(14), 38u);
  EXPECT_EQ(kernel->dwt_size(14), (DwtSize{13, 13}));
  EXPECT_EQ(kernel->idwt_size(13, 13), 14u);
  EXPECT_EQ(kernel->required_scratch_size(15), 40u);
  EXPECT_EQ(kernel->dwt_size(15), (DwtSize{14, 14}));
  EXPECT_EQ(kernel->idwt_size(14, 14), 16u);
  EXPECT_EQ(kernel->required_scratch_size(100), 124u);

  const auto x = test_signal(14, 5);
  std::vector<float> a(13), d(13), scratch(37);
  auto status = kernel->execute_forward_with_scratch(x, a, d, scratch);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message(), "Scratch size expected to be 38 but it was 37");

  status = kernel->execute_forward(std::span<const float>(x).first(13), a, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().message(), "Input size 13 can't be less than 14");
}

TEST(NTaps, ArenaPadsAreLeftTwelveRightTwelveOrThirteen) {
  // The forward step sees the signal extended by L - 2 on the left and
  // L - 2 (n even) or L - 1 (n odd) on the right: check it through the
  // coefficients of an impulse train against the reference, and through an
  // oversized scratch whose tail must stay untouched.
  const auto taps = taps_of(DaubechiesFamily::Db7);
  const auto kernel = make_n_taps(BorderMode::Reflect101, taps);
  for (std::size_t n : {14u, 15u}) {
    const auto x = test_signal(n, 9);
    const std::size_t a = kernel->dwt_size(n).approximation_length;
    std::vector<float> approx(a), details(a), scratch(kernel->required_scratch_size(n) + 3, 77.0f);
    ASSERT_TRUE(kernel->execute_forward_with_scratch(x, approx, details, scratch).has_value());
    for (std::size_t k = 0; k < 12; ++k) {
      EXPECT_EQ(scratch[k],
                reference_sample(x, static_cast<std::int64_t>(k) - 12, BorderMode::Reflect101));
    }
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(scratch[12 + i], x[i]);
    const std::size_t right = n % 2 ? 13 : 12;
    for (std::size_t j = 0; j < right; ++j) {
      EXPECT_EQ(scratch[12 + n + j],
                reference_sample(x, static_cast<std::int64_t>(n + j), BorderMode::Reflect101));
    }
    for (std::size_t j = 12 + n + right; j < scratch.size(); ++j) EXPECT_EQ(scratch[j], 77.0f);

    const Bands expected = reference_forward(x, taps, BorderMode::Reflect101);
    EXPECT_EQ(approx, expected.approximation);
    std::vector<float> y(kernel->idwt_size(a, a), 0.0f);
    ASSERT_TRUE(kernel->execute_inverse(approx, details, y).has_value());
    EXPECT_EQ(y.size(), n % 2 ? n + 1 : n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(y[i], x[i], 2e-6);
  }
}

TEST(NTaps, ZeroOrOddTapCountIsRefused) {
  for (std::size_t count : {0u, 3u, 7u}) {
    const std::vector<float> taps(count, 0.5f);
    const auto kernel = make_n_taps(BorderMode::Wrap, taps);
    const auto x = test_signal(32, 1);
    std::vector<float> a(17), d(17), y(4);
    EXPECT_EQ(kernel->execute_forward(x, a, d).error().kind, LumvetErrorKind::ZeroOrOddWavelet);
    EXPECT_EQ(kernel->execute_inverse(a, d, y).error().message(), "Zero or odd sized wavelet");
  }
}

TEST(NTaps, BandsShorterThanOnePairGiveAnEmptyOutput) {
  // 2a < L - 2 would wrap the unsigned size 2a - L + 2 around.
  const auto kernel = make_n_taps(BorderMode::Wrap, taps_of(DaubechiesFamily::Db9));
  EXPECT_EQ(kernel->idwt_size(3, 3), 0u);
  const std::vector<float> a(3, 1.0f);
  std::vector<float> y;
  EXPECT_TRUE(kernel->execute_inverse(a, a, y).has_value());
  const auto fixed = make_fixed(BorderMode::Wrap, taps_of(DaubechiesFamily::Db8));
  EXPECT_EQ(fixed->idwt_size(2, 2), 0u);
  EXPECT_EQ(fixed->idwt_size(7, 7), 0u);
  EXPECT_EQ(fixed->idwt_size(8, 8), 2u);
}

TEST(NTaps, ExecuteForwardAllocatesTheSameArena) {
  const auto taps = get_wavelet(SymletFamily::Sym9);
  const auto kernel = make_n_taps(BorderMode::Clamp, taps);
  const auto x = test_signal(41, 4);
  const std::size_t a = kernel->dwt_size(41).approximation_length;
  std::vector<float> a1(a), d1(a), a2(a), d2(a), scratch(kernel->required_scratch_size(41) + 5);
  ASSERT_TRUE(kernel->execute_forward(x, a1, d1).has_value());
  ASSERT_TRUE(kernel->execute_forward_with_scratch(x, a2, d2, scratch).has_value());
  EXPECT_EQ(a1, a2);
  EXPECT_EQ(d1, d2);
}

}  // namespace
}  // namespace lumvet

namespace lumvet {
namespace {

TEST(ConvKernels, CompiledTargetsRunHere) {
  // Lists the targets the bit-for-bit tests ran on (SCALAR/EMU128 at least).
  std::string names;
  for (std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    names += std::string(hwy::TargetName(target)) + " ";
  }
  std::cout << "targets: " << names << "\n";
  EXPECT_GE(hwy::SupportedAndGeneratedTargets().size(), 2u);
}

}  // namespace
}  // namespace lumvet

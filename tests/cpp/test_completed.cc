// Level driver of CompletedDwtExecutor, exercised over a small convolution-
// shaped kernel defined here: a Haar step on the signal padded with L - 2
// zeros, with the convolution size rules a = (n + L - 1) / 2 and
// idwt_size = 2a - L + 2, an inverse that adds into its output, and exact
// reconstruction of small integer signals.
#include "lumvet/completed.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "driver_checks.h"
#include "lumvet_test_util.h"

namespace lumvet {

namespace {

using K = LumvetErrorKind;
using testing_util::expect_driver_allocation_failures_reported;
using testing_util::expect_multi_idwt_rejects_empty_input;
using testing_util::expect_pushed_reconstruction;
using testing_util::expect_zero_levels_is_one_level;
using testing_util::view_of;

class PaddedHaar final : public IncompleteDwtExecutor {
 public:
  explicit PaddedHaar(std::size_t taps, std::size_t inverse_size_override = 0)
      : taps_(taps), inverse_size_override_(inverse_size_override) {}

  Status execute_forward(std::span<const float> input, std::span<float> approximation,
                         std::span<float> details) const override {
    const std::size_t n = input.size();
    if (n < taps_) return lumvet_error(K::InputTooShort, n, taps_);
    if (approximation.size() != dwt_size(n).approximation_length) {
      return lumvet_error(K::HalfLengthMismatch, approximation.size());
    }
    if (details.size() != approximation.size()) {
      return lumvet_error(K::HalfLengthMismatch, details.size());
    }
    auto at = [&](std::size_t j) { return j < n ? input[j] : 0.0f; };
    for (std::size_t i = 0; i < approximation.size(); ++i) {
      approximation[i] = at(2 * i) + at(2 * i + 1);
      details[i] = at(2 * i) - at(2 * i + 1);
    }
    return {};
  }
  Status execute_forward_with_scratch(std::span<const float> input, std::span<float> approximation,
                                      std::span<float> details, std::span<float>) const override {
    return execute_forward(input, approximation, details);
  }
  std::size_t required_scratch_size(std::size_t) const override { return 0; }
  DwtSize dwt_size(std::size_t n) const override {
    const std::size_t a = (n + taps_ - 1) / 2;
    return {a, a};
  }
  Status execute_inverse(std::span<const float> approximation, std::span<const float> details,
                         std::span<float> output) const override {
    if (approximation.size() != details.size()) {
      return lumvet_error(K::ApproxDetailsMismatch, approximation.size(), details.size());
    }
    const std::size_t expected = idwt_size(approximation.size(), details.size());
    if (output.size() != expected)
      return lumvet_error(K::OutputSizeMismatch, expected, output.size());
    for (std::size_t j = 0; j < output.size(); ++j) {
      const float a = approximation[j / 2];
      const float d = details[j / 2];
      output[j] += (j % 2 == 0 ? a + d : a - d) / 2;
    }
    return {};
  }
  std::size_t idwt_size(std::size_t a, std::size_t) const override {
    return inverse_size_override_ != 0 ? inverse_size_override_ : 2 * a - taps_ + 2;
  }
  std::size_t filter_length() const override { return taps_; }

 private:
  std::size_t taps_;
  std::size_t inverse_size_override_;
};

DwtExecutorHandle completed(std::size_t taps, std::size_t inverse_size_override = 0) {
  return std::make_shared<CompletedDwtExecutor>(
      std::make_shared<PaddedHaar>(taps, inverse_size_override));
}

std::vector<float> small_integers(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-8, 8);
  std::vector<float> x(n);
  for (float& v : x) v = static_cast<float>(dist(rng));
  return x;
}

// (filter length, signal length, levels, approximation length of every level,
// length multi_idwt returns)
using LayoutCase =
    std::tuple<std::size_t, std::size_t, std::size_t, std::vector<std::size_t>, std::size_t>;

class CompletedLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(CompletedLayout, LevelLengthsAndExactReconstruction) {
  const auto& [taps, n, levels, lengths, restored_length] = GetParam();
  const auto exec = completed(taps);
  const auto x = small_integers(n, static_cast<unsigned>(n * 31 + taps));

  auto multi = exec->multi_dwt(x, levels);
  ASSERT_TRUE(multi.has_value()) << multi.error().message();
  ASSERT_EQ(multi->levels.size(), lengths.size());
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    EXPECT_EQ(multi->levels[k].approximation.size(), lengths[k]) << "level " << k;
    EXPECT_EQ(multi->levels[k].details.size(), lengths[k]) << "level " << k;
    // dwt at depth k + 1 is the same level.
    auto single = exec->dwt(x, k + 1);
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->approximation, multi->levels[k].approximation);
    EXPECT_EQ(single->details, multi->levels[k].details);
  }

  auto restored = exec->multi_idwt(view_of(*multi));
  ASSERT_TRUE(restored.has_value()) << restored.error().message();
  ASSERT_EQ(restored->size(), restored_length);
  EXPECT_EQ(std::vector<float>(restored->begin(), restored->begin() + n), x);
  for (std::size_t j = n; j < restored->size(); ++j) EXPECT_EQ((*restored)[j], 0.0f);
  expect_pushed_reconstruction(*exec, *multi);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CompletedLayout,
    ::testing::Values(LayoutCase{8, 100, 3, {53, 30, 18}, 100},
                      LayoutCase{8, 101, 3, {54, 30, 18}, 102},
                      LayoutCase{8, 20, 4, {13, 10, 8, 7}, 20}, LayoutCase{8, 8, 1, {7}, 8},
                      LayoutCase{2, 16, 4, {8, 4, 2, 1}, 16}, LayoutCase{2, 13, 3, {7, 4, 2}, 14},
                      LayoutCase{4, 1000, 6, {501, 252, 127, 65, 34, 18}, 1000},
                      LayoutCase{16, 257, 2, {136, 75}, 258}));

// (filter length, signal length, levels, expected error)
using ForwardErrorCase = std::tuple<std::size_t, std::size_t, std::size_t, LumvetError>;

class CompletedForwardError : public ::testing::TestWithParam<ForwardErrorCase> {};

TEST_P(CompletedForwardError, MultiDwtAndDwtFail) {
  const auto& [taps, n, levels, error] = GetParam();
  const auto exec = completed(taps);
  const auto x = small_integers(n, 7);
  auto multi = exec->multi_dwt(x, levels);
  ASSERT_FALSE(multi.has_value());
  EXPECT_EQ(multi.error(), error);
  auto single = exec->dwt(x, levels);
  ASSERT_FALSE(single.has_value());
  EXPECT_EQ(single.error(), error);
}

INSTANTIATE_TEST_SUITE_P(ShortInputs, CompletedForwardError,
                         ::testing::Values(
                             // One level: no driver test, the kernel's own check speaks.
                             ForwardErrorCase{8, 7, 1, {K::InputTooShort, 7, 8}},
                             ForwardErrorCase{8, 7, 0, {K::InputTooShort, 7, 8}},
                             // Several levels: every level's input is tested, the first included.
                             ForwardErrorCase{8, 7, 2, {K::BufferTooSmallForLevel}},
                             ForwardErrorCase{8, 20, 5, {K::BufferTooSmallForLevel}},
                             ForwardErrorCase{8, 0, 3, {K::BufferTooSmallForLevel}},
                             ForwardErrorCase{2, 1000, 1000000, {K::BufferTooSmallForLevel}},
                             ForwardErrorCase{
                                 4, 100, ~std::size_t{0}, {K::BufferTooSmallForLevel}}));

TEST(Completed, ShortInputMessage) {
  auto r = completed(8)->multi_dwt(small_integers(7, 1), 1);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Input size 7 can't be less than 8");
}

TEST(Completed, ZeroLevelsIsOneLevel) {
  expect_zero_levels_is_one_level(*completed(6), small_integers(50, 3));
}

TEST(Completed, ForwardsTheKernel) {
  const auto exec = completed(8);
  EXPECT_EQ(exec->filter_length(), 8u);
  EXPECT_EQ(exec->dwt_size(100), (DwtSize{53, 53}));
  EXPECT_EQ(exec->idwt_size(53, 53), 100u);
  EXPECT_EQ(exec->required_scratch_size(100), 0u);
  std::vector<float> a(53), d(52);
  auto status = exec->execute_forward(small_integers(100, 2), a, d);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), (LumvetError{K::HalfLengthMismatch, 52}));
}

TEST(Completed, IdwtNeedsEqualBands) {
  const std::vector<float> a(5, 1.0f), d(4, 1.0f);
  auto r = completed(2)->idwt(DwtRef{a, d});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Approx and details must match, but they don't 5x4");
}

TEST(Completed, MultiIdwtRejectsEmptyInput) {
  expect_multi_idwt_rejects_empty_input(*completed(4));
}

TEST(Completed, MultiIdwtReconstructionShorterThanNextBand) {
  // 2 taps: 3 + 3 coefficients reconstruct 6 samples, the next band has 10.
  const std::vector<float> coarse(3, 1.0f), fine(10, 1.0f);
  auto r = completed(2)->multi_idwt(MultiDwtRef{{fine, coarse}, coarse});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), (LumvetError{K::ApproxDetailsMismatch, 6, 10}));
}

TEST(Completed, MultiIdwtPassesKernelErrorsOn) {
  const std::vector<float> a(4, 1.0f), d(5, 1.0f);
  auto r = completed(4)->multi_idwt(MultiDwtRef{{d}, a});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), (LumvetError{K::ApproxDetailsMismatch, 4, 5}));
}

TEST(Completed, UnallocatableOutputIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer aborts on such a request instead of failing it unless
  // told otherwise; the allocation hook tests cover the same path.
  const char* options = std::getenv("ASAN_OPTIONS");
  if (options == nullptr || std::strstr(options, "allocator_may_return_null=1") == nullptr) {
    GTEST_SKIP() << "needs ASAN_OPTIONS=allocator_may_return_null=1";
  }
#endif
  // The kernel claims an inverse size no machine can hold.
  const std::size_t huge = std::size_t{1} << 60;
  const std::vector<float> a(4, 1.0f);
  auto r = completed(4, huge)->idwt(DwtRef{a, a});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), (LumvetError{K::CannotAllocate, huge * sizeof(float)}));
  auto m = completed(4, huge)->multi_idwt(MultiDwtRef{{a}, a});
  ASSERT_FALSE(m.has_value());
  EXPECT_EQ(m.error(), (LumvetError{K::CannotAllocate, huge * sizeof(float)}));
}

TEST(Completed, AllocationFailuresBecomeCannotAllocate) {
  expect_driver_allocation_failures_reported(*completed(8), small_integers(300, 11));
}

}  // namespace
}  // namespace lumvet

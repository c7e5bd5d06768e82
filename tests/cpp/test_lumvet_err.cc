#include "lumvet/err.h"

#include <gtest/gtest.h>

#include <tuple>

namespace lumvet {
namespace {

using K = LumvetErrorKind;

class LumvetErrorMessage : public ::testing::TestWithParam<std::tuple<LumvetError, const char*>> {};

TEST_P(LumvetErrorMessage, RendersExactText) {
  const auto& [error, text] = GetParam();
  EXPECT_EQ(error.message(), text);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, LumvetErrorMessage,
    ::testing::Values(
        std::make_tuple(LumvetError{K::CannotAllocate, 4096},
                        "Cannot allocate 4096 bytes to vector"),
        std::make_tuple(LumvetError{K::HalfLengthMismatch, 7},
                        "Approximation and details expected to be half of original signal "
                        "length but it was 7"),
        std::make_tuple(LumvetError{K::ApproxDetailsMismatch, 5, 4},
                        "Approx and details must match, but they don't 5x4"),
        std::make_tuple(LumvetError{K::NotDivisible, 2}, "Input must be divisible by 2"),
        std::make_tuple(LumvetError{K::Overflow}, "Overflow is happened"),
        std::make_tuple(LumvetError{K::OutputSizeMismatch, 100, 99},
                        "Output size should be 100, but it was 99"),
        std::make_tuple(LumvetError{K::InputTooShort, 7, 8}, "Input size 7 can't be less than 8"),
        std::make_tuple(LumvetError{K::InputOutputSizeMismatch, 3, 9},
                        "Input size 3 does not match output size 9"),
        std::make_tuple(LumvetError{K::ZeroOrOddWavelet}, "Zero or odd sized wavelet"),
        std::make_tuple(LumvetError{K::FilterCenterTooLarge, 9, 8},
                        "Filter center 9 was larger than filter size 8"),
        std::make_tuple(LumvetError{K::BufferTooSmallForLevel},
                        "Buffer was too small for provided level"),
        std::make_tuple(LumvetError{K::ApproximationSizeMismatch, 3, 4},
                        "Approximate size 3 does not match required size 4"),
        std::make_tuple(LumvetError{K::DetailsSizeMismatch, 1, 2},
                        "Details size 1 does not match required size 2"),
        std::make_tuple(LumvetError{K::ZeroSizedInput}, "Zero sized input is not supported"),
        std::make_tuple(LumvetError{K::InputSizeMismatch, 10, 11},
                        "Input size expected to be 10 but it was 11"),
        std::make_tuple(LumvetError{K::ScratchSizeMismatch, 124, 123},
                        "Scratch size expected to be 124 but it was 123"),
        std::make_tuple(LumvetError{K::CannotAllocate, 18446744073709551615ull},
                        "Cannot allocate 18446744073709551615 bytes to vector")));

TEST(LumvetErrorOrder, DiscriminantsFollowTheDeclaredOrder) {
  EXPECT_EQ(static_cast<int>(K::CannotAllocate), 0);
  EXPECT_EQ(static_cast<int>(K::InputTooShort), 6);
  EXPECT_EQ(static_cast<int>(K::BufferTooSmallForLevel), 10);
  EXPECT_EQ(static_cast<int>(K::ScratchSizeMismatch), 15);
}

}  // namespace
}  // namespace lumvet

// Error values of the wavelet library. Every fallible operation returns
// std::expected<T, LumvetError>; the error renders one fixed English message.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace lumvet {

// A kind's position is its identity: new kinds go at the end and none moves,
// so a kind recorded or compared as a number keeps naming the same error
// (test_lumvet_err pins a few).
enum class LumvetErrorKind : std::uint8_t {
  CannotAllocate,             // bytes
  HalfLengthMismatch,         // wrong length
  ApproxDetailsMismatch,      // approximation length, details length
  NotDivisible,               // divisor
  Overflow,                   //
  OutputSizeMismatch,         // expected, actual
  InputTooShort,              // input length, minimum
  InputOutputSizeMismatch,    // input length, output length
  ZeroOrOddWavelet,           //
  FilterCenterTooLarge,       // center, filter size
  BufferTooSmallForLevel,     //
  ApproximationSizeMismatch,  // given, required
  DetailsSizeMismatch,        // given, required
  ZeroSizedInput,             //
  InputSizeMismatch,          // expected, actual
  ScratchSizeMismatch,        // required, given
};

struct LumvetError {
  LumvetErrorKind kind;
  std::uint64_t first = 0;
  std::uint64_t second = 0;

  std::string message() const;
  friend bool operator==(const LumvetError&, const LumvetError&) = default;
};

using Status = std::expected<void, LumvetError>;

inline std::unexpected<LumvetError> lumvet_error(LumvetErrorKind kind, std::uint64_t first = 0,
                                                 std::uint64_t second = 0) {
  return std::unexpected(LumvetError{kind, first, second});
}

}  // namespace lumvet

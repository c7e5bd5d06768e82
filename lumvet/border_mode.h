// Border extension of the convolution transforms: which signal sample stands
// at a position outside 0 .. n - 1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lumvet/lumvet.h"

namespace lumvet::border_mode {

// Signed 64-bit division by a constant as a multiply-high and a shift, so the
// per-sample remainders of the periodic and mirrored modes run no hardware
// division. `more` holds the shift in its low 6 bits, kAddMarker when the
// multiplier needs the dividend added back (it has 65 significant bits) and
// kNegativeDivisor for a negative divisor. A power-of-two divisor uses a mask
// and shift and has multiplier 0.
struct PreparedDivisor {
  static constexpr std::uint8_t kShiftMask = 0x3F;
  static constexpr std::uint8_t kAddMarker = 0x40;
  static constexpr std::uint8_t kNegativeDivisor = 0x80;

  std::int64_t multiplier = 0;
  std::int64_t divisor = 1;
  std::uint64_t magnitude = 1;
  std::uint8_t more = 0;

  // divisor must be nonzero.
  static PreparedDivisor prepare(std::int64_t divisor);

  // numerator / divisor, rounding toward zero, as the '/' operator.
  std::int64_t quotient(std::int64_t numerator) const {
    const std::uint8_t shift = more & kShiftMask;
    // Sign of the divisor as 0 or -1, to negate a quotient by (q ^ s) - s.
    const std::int64_t sign = (more & kNegativeDivisor) ? -1 : 0;
    if (multiplier == 0) {
      // |divisor| = 2^shift: bias negative numerators so the shift truncates.
      const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
      const std::uint64_t bias = static_cast<std::uint64_t>(numerator >> 63) & mask;
      std::int64_t q =
          static_cast<std::int64_t>(static_cast<std::uint64_t>(numerator) + bias) >> shift;
      return (q ^ sign) - sign;
    }
    const __int128 wide = static_cast<__int128>(multiplier) * numerator;
    std::int64_t q = static_cast<std::int64_t>(wide >> 64);
    if (more & kAddMarker) {
      // The multiplier stands for 2^64 + multiplier: add the dividend with the
      // divisor's sign.
      const std::uint64_t signed_numerator =
          (static_cast<std::uint64_t>(numerator) ^ static_cast<std::uint64_t>(sign)) -
          static_cast<std::uint64_t>(sign);
      q = static_cast<std::int64_t>(static_cast<std::uint64_t>(q) + signed_numerator);
    }
    q >>= shift;
    // Round toward zero: a negative estimate is one too low.
    q += static_cast<std::int64_t>(static_cast<std::uint64_t>(q) >> 63);
    return q;
  }

  // Remainder in 0 .. |divisor| - 1 (a mathematical modulo).
  std::int64_t modulo(std::int64_t numerator) const {
    const std::int64_t r = numerator - quotient(numerator) * divisor;
    return r < 0 ? r + static_cast<std::int64_t>(magnitude) : r;
  }
};

// Per-signal description of the border rule, built once per forward step.
class BorderInterpolation {
 public:
  // start is the lowest valid index (0 for every caller) and length the signal
  // length n; n must be at least 1.
  BorderInterpolation(BorderMode mode, std::int64_t start, std::int64_t length);

  BorderMode mode() const { return mode_; }
  bool is_zeros() const { return mode_ == BorderMode::Zeros; }

  // Index of the sample standing at position v outside start .. start + n - 1
  // (callers read positions inside the signal directly). Meaningless in the
  // zero mode.
  //  Clamp:      the nearest end sample.
  //  Wrap:       v mod n.
  //  Reflect:    mirror that repeats the end sample: left -v - 1, right 2n - 1 - v.
  //  Reflect101: mirror about the end sample: left -v, right 2n - 2 - v.
  // The mirrors hold for pads shorter than n (n - 1 for Reflect101); longer
  // pads repeat the mirrored run with period n (n - 1).
  std::int64_t index(std::int64_t v) const;

  // The sample at any position of the extended signal x (0.0 in the zero mode).
  float sample(const float* x, std::int64_t v) const {
    if (v >= start_ && v < start_ + length_) return x[v];
    if (is_zeros()) return 0.0f;
    return x[index(v)];
  }

 private:
  PreparedDivisor divisor_;
  std::int64_t start_;
  std::int64_t length_;
  BorderMode mode_;
};

}  // namespace lumvet::border_mode

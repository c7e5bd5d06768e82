#include "lumvet/border_mode.h"

#include <algorithm>
#include <bit>

namespace lumvet::border_mode {

PreparedDivisor PreparedDivisor::prepare(std::int64_t divisor) {
  PreparedDivisor prepared;
  prepared.divisor = divisor;
  // |divisor| without overflow for INT64_MIN.
  const std::uint64_t magnitude =
      divisor < 0 ? 0 - static_cast<std::uint64_t>(divisor) : static_cast<std::uint64_t>(divisor);
  prepared.magnitude = magnitude;
  const std::uint8_t floor_log2 = static_cast<std::uint8_t>(63 - std::countl_zero(magnitude));
  const std::uint8_t sign_flag = divisor < 0 ? kNegativeDivisor : 0;

  if (std::has_single_bit(magnitude)) {
    prepared.multiplier = 0;
    prepared.more = static_cast<std::uint8_t>(floor_log2 | sign_flag);
    return prepared;
  }

  // m = ceil(2^(64 + floor_log2 - 1) / |d|) fits in 64 bits when the rounding
  // error e = |d| - remainder is below 2^floor_log2; otherwise use the 65-bit
  // multiplier 2^64 + 2m' with one more bit of shift and add the dividend back.
  const unsigned __int128 numerator = static_cast<unsigned __int128>(1) << (64 + floor_log2 - 1);
  std::uint64_t proposed = static_cast<std::uint64_t>(numerator / magnitude);
  const std::uint64_t remainder = static_cast<std::uint64_t>(numerator % magnitude);
  const std::uint64_t error = magnitude - remainder;
  std::uint8_t more;
  if (error < (std::uint64_t{1} << floor_log2)) {
    more = static_cast<std::uint8_t>(floor_log2 - 1);
  } else {
    proposed += proposed;
    const std::uint64_t twice_remainder = remainder + remainder;
    if (twice_remainder >= magnitude || twice_remainder < remainder) proposed += 1;
    more = static_cast<std::uint8_t>(floor_log2 | kAddMarker);
  }
  proposed += 1;
  std::int64_t multiplier = static_cast<std::int64_t>(proposed);
  if (divisor < 0) {
    more |= kNegativeDivisor;
    multiplier = static_cast<std::int64_t>(0 - proposed);
  }
  prepared.multiplier = multiplier;
  prepared.more = more;
  return prepared;
}

BorderInterpolation::BorderInterpolation(BorderMode mode, std::int64_t start, std::int64_t length)
    : start_(start), length_(length), mode_(mode) {
  switch (mode) {
    case BorderMode::Wrap:
    case BorderMode::Reflect:
      divisor_ = PreparedDivisor::prepare(std::max<std::int64_t>(length, 1));
      break;
    case BorderMode::Reflect101:
      divisor_ = PreparedDivisor::prepare(std::max<std::int64_t>(length - 1, 1));
      break;
    case BorderMode::Clamp:
    case BorderMode::Zeros:
    default:
      break;  // multiplier 0, divisor 1: no division needed
  }
}

std::int64_t BorderInterpolation::index(std::int64_t v) const {
  const std::int64_t n = length_;
  // Work relative to start; every library caller has start = 0.
  const std::int64_t u = v - start_;
  std::int64_t r;
  switch (mode_) {
    case BorderMode::Clamp:
      r = std::min<std::int64_t>(n - 1, std::max<std::int64_t>(0, u));
      break;
    case BorderMode::Wrap:
      r = divisor_.modulo(u);
      break;
    case BorderMode::Reflect:
      r = u < 0 ? divisor_.modulo(-u - 1) : n - 1 - divisor_.modulo(u - n);
      break;
    case BorderMode::Reflect101:
      if (n == 1) {
        r = 0;
      } else {
        r = (u < 0 ? divisor_.modulo(-u - 1) : divisor_.modulo(2 * n - 3 - u)) + 1;
      }
      break;
    case BorderMode::Zeros:
    default:
      r = 0;  // not used: the zero mode has no source sample
      break;
  }
  return start_ + r;
}

}  // namespace lumvet::border_mode

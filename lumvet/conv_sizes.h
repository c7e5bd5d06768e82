// Band and output sizes of one convolution level with L taps, and the length
// checks against them in the order the executors report them. The fixed-tap
// executors and the N-tap executor compute the same transform, so they share
// these.
#pragma once

#include <cstddef>

#include "lumvet/err.h"

namespace lumvet::conv {

// Length of each band of a level of n samples: (n + L - 1) / 2.
constexpr std::size_t band_length(std::size_t n, std::size_t taps) {
  return (n + taps - 1) / 2;
}

// 2a - (L - 2); bands too short to cover one output pair give 0 rather than a
// wrapped-around size.
constexpr std::size_t output_length(std::size_t approximation_length, std::size_t taps) {
  return 2 * approximation_length >= taps - 2 ? 2 * approximation_length - (taps - 2) : 0;
}

// A forward level of n samples: n >= L, then each band of band_length.
inline Status check_forward(std::size_t taps, std::size_t n, std::size_t approximation_length,
                            std::size_t details_length) {
  if (n < taps) return lumvet_error(LumvetErrorKind::InputTooShort, n, taps);
  const std::size_t a = band_length(n, taps);
  if (approximation_length != a) {
    return lumvet_error(LumvetErrorKind::HalfLengthMismatch, approximation_length);
  }
  if (details_length != a) return lumvet_error(LumvetErrorKind::HalfLengthMismatch, details_length);
  return {};
}

// An inverse level: bands of one length, then an output of output_length.
inline Status check_inverse(std::size_t taps, std::size_t approximation_length,
                            std::size_t details_length, std::size_t output_length) {
  const std::size_t a = approximation_length;
  if (a != details_length) {
    return lumvet_error(LumvetErrorKind::ApproxDetailsMismatch, a, details_length);
  }
  const std::size_t e = conv::output_length(a, taps);
  if (output_length != e) {
    return lumvet_error(LumvetErrorKind::OutputSizeMismatch, e, output_length);
  }
  return {};
}

}  // namespace lumvet::conv

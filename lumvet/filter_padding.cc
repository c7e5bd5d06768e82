#include "lumvet/filter_padding.h"

#include <algorithm>
#include <cstdint>

#include "lumvet/border_mode.h"

namespace lumvet::filter_padding {

ArenaStatus write_arena_1d_impl(std::span<const float> signal, std::span<float> arena,
                                std::size_t left_pad, std::size_t right_pad, BorderMode mode) {
  const std::size_t n = signal.size();
  // Overflow-safe form of arena.size() == left_pad + n + right_pad.
  const std::size_t size = arena.size();
  if (left_pad > size || n > size - left_pad || right_pad != size - left_pad - n || n == 0) {
    return std::unexpected(ArenaError{InternalConfigurationError{}});
  }

  std::copy(signal.begin(), signal.end(), arena.begin() + static_cast<std::ptrdiff_t>(left_pad));

  float* left = arena.data();
  float* right = arena.data() + left_pad + n;
  if (mode == BorderMode::Zeros) {
    std::fill(left, left + left_pad, 0.0f);
    std::fill(right, right + right_pad, 0.0f);
    return {};
  }

  // Every mapped index is inside the signal, so the pads are plain copies.
  const border_mode::BorderInterpolation border(mode, 0, static_cast<std::int64_t>(n));
  const std::int64_t first = -static_cast<std::int64_t>(left_pad);
  for (std::size_t k = 0; k < left_pad; ++k) {
    left[k] = signal[static_cast<std::size_t>(border.index(first + static_cast<std::int64_t>(k)))];
  }
  const std::int64_t end = static_cast<std::int64_t>(n);
  for (std::size_t k = 0; k < right_pad; ++k) {
    right[k] = signal[static_cast<std::size_t>(border.index(end + static_cast<std::int64_t>(k)))];
  }
  return {};
}

}  // namespace lumvet::filter_padding

// Internal: the compression pipeline. The public entry point, compress(), is
// declared in quarnel/quarnel.h; this header adds the pieces whose rules are
// part of the stream's meaning, so they can be checked on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// Levels for long signals: floor(log2(n / F)), at least 1 and at most 8.
std::size_t compute_max_levels(std::size_t sample_count, std::size_t filter_length);

// compress() with the DEFLATE level of a payload it codes with DEFLATE,
// kMinDeflateLevel..kMaxDeflateLevel (check_deflate_level()); compress() is
// this at kDefaultDeflateLevel.
std::expected<std::vector<std::uint8_t>, QuarnelError> compress(std::span<const float> samples,
                                                                const CompressionOptions& options,
                                                                unsigned threads,
                                                                int deflate_level);

// The level count a signal of sample_count samples is transformed with.
// Short signals get a fixed count by length class; the count is chosen from
// the input length, not from the length a short signal is extended to.
std::size_t level_count(std::size_t sample_count, std::size_t filter_length);

// Detail coefficients of magnitude below this are zeroed: (scale - 6) / 2
// scaled by 1, 3 or 7 for low, medium and high.
int detail_threshold(std::uint8_t scale, CutoffLevel cutoff);

// One coefficient to its 16-bit integer: c * multiplier in float32, clamped
// with minNum/maxNum semantics (a NaN product ends as 32767), truncated
// toward zero.
inline std::int16_t quantise(float coefficient, float multiplier) {
  float v = coefficient * multiplier;
  v = v < 32767.0f ? v : 32767.0f;  // NaN fails the test and takes the bound
  v = v > -32768.0f ? v : -32768.0f;
  return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

// The header's payload_length: a 32-bit field, so larger payloads are
// refused rather than described by a wrapped length.
std::expected<std::uint32_t, QuarnelError> payload_length_field(std::uint64_t payload_size);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

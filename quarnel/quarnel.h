// quarnel: lossy wavelet compression of 1-D float signals.
//
// The whole public C++ interface: include this header, call compress() and
// decompress(). Errors are values; nothing here throws except std::bad_alloc
// when memory runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "quarnel/error.h"
#include "quarnel/export.h"

namespace quarnel {

enum class WaveletMethod : std::uint8_t { cdf53 = 0, cdf97 = 1, db4 = 2, sym4 = 3 };
enum class CutoffLevel : std::uint8_t { low = 0, medium = 1, high = 2 };
// `auto_` is "auto": it always selects the rANS coder.
enum class CoderChoice : std::uint8_t { deflate = 0, arans = 1, auto_ = 2 };

// The public limits. A stream describes at most 2^31 - 1 samples (the
// largest 32-bit signed integer); coefficients are quantised with a step of
// 2^-scale of the signal's range, scale kMinScale..kMaxScale.
inline constexpr std::uint64_t kMaxSampleCount = 2147483647;
inline constexpr std::uint8_t kMinScale = 6;
inline constexpr std::uint8_t kMaxScale = 12;

// Scale 6..12. compress() refuses values outside the enumerations' ranges or a
// scale outside 6..12 with an error rather than writing an unreadable stream.
struct CompressionOptions {
  CutoffLevel cutoff = CutoffLevel::low;
  CoderChoice coder = CoderChoice::auto_;
  WaveletMethod method = WaveletMethod::cdf97;
  std::uint8_t scale = 11;
};

// The whole stream: 52-byte header followed by the payload. A signal whose
// wavelet coefficients would not fit 16 bits at the chosen scale is refused
// (UnsupportedConfiguration): a lower scale stores it.
QUARNEL_API std::expected<std::vector<std::uint8_t>, QuarnelError> compress(
    std::span<const float> samples, const CompressionOptions& options);

// The checks compress() makes before it reads a sample, in its order: the
// sample count against what a stream can hold and the options against their
// ranges. A caller that must convert its samples first runs them before
// converting, so a signal refused for its length alone costs nothing.
QUARNEL_API std::expected<void, QuarnelError> check_compressible(std::size_t sample_count,
                                                                 const CompressionOptions& options);

// Exactly as many samples as were compressed.
QUARNEL_API std::expected<std::vector<float>, QuarnelError> decompress(
    std::span<const std::uint8_t> stream);

// The same two calls with up to `threads` threads working on one signal: the
// rANS coder codes its two byte planes side by side. The streams and samples
// are exactly those of the calls above; threads <= 1 runs on the calling
// thread alone. Each call starts and joins its own threads.
QUARNEL_API std::expected<std::vector<std::uint8_t>, QuarnelError> compress(
    std::span<const float> samples, const CompressionOptions& options, unsigned threads);
QUARNEL_API std::expected<std::vector<float>, QuarnelError> decompress(
    std::span<const std::uint8_t> stream, unsigned threads);

}  // namespace quarnel

// quarnel: lossy wavelet compression of 1-D float signals.
//
// The whole public C++ interface: include this header, call compress() and
// decompress(). Errors are values; nothing here throws except std::bad_alloc
// when memory runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quarnel/error.h"
#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

enum class WaveletMethod : std::uint8_t { cdf53 = 0, cdf97 = 1, db4 = 2, sym4 = 3 };
enum class CutoffLevel : std::uint8_t { low = 0, medium = 1, high = 2 };
// `auto_` is "auto": it always selects the rANS coder.
enum class CoderChoice : std::uint8_t { deflate = 0, arans = 1, auto_ = 2 };

// The names the bindings give the enumerations' values: "cdf53", "cdf97",
// "db4", "sym4"; "low", "medium", "high"; "deflate", "arans", "auto". Each
// enumeration's values run from 0; a value past the last has an empty name,
// and a name matches exactly (case and all) or not at all.
QUARNEL_API std::string_view method_name(WaveletMethod method);
QUARNEL_API std::optional<WaveletMethod> method_from_name(std::string_view name);
QUARNEL_API std::string_view cutoff_name(CutoffLevel cutoff);
QUARNEL_API std::optional<CutoffLevel> cutoff_from_name(std::string_view name);
QUARNEL_API std::string_view coder_name(CoderChoice coder);
QUARNEL_API std::optional<CoderChoice> coder_from_name(std::string_view name);

// The public limits. A stream describes at most 2^31 - 1 samples (the
// largest 32-bit signed integer) with 1 to kMaxLevels transform levels;
// coefficients are quantised with a step of 2^-scale of the signal's range,
// scale kMinScale..kMaxScale. A stream is a kHeaderSize-byte header followed
// by its payload.
inline constexpr std::uint64_t kMaxSampleCount = 2147483647;
inline constexpr std::uint8_t kMaxLevels = 10;
inline constexpr std::uint8_t kMinScale = 6;
inline constexpr std::uint8_t kMaxScale = 12;
inline constexpr std::size_t kHeaderSize = 52;

// DEFLATE levels for payloads coded with DEFLATE, 1 the fastest and 12 the
// smallest. The level is not part of the format: any decoder reads a payload
// of any level. compress() codes at the default; the storage and bounded
// encoders take any of them.
inline constexpr int kMinDeflateLevel = 1;
inline constexpr int kMaxDeflateLevel = 12;
inline constexpr int kDefaultDeflateLevel = 6;

// Scale 6..12. compress() refuses values outside the enumerations' ranges or a
// scale outside 6..12 with an error rather than writing an unreadable stream.
struct CompressionOptions {
  CutoffLevel cutoff = CutoffLevel::low;
  CoderChoice coder = CoderChoice::auto_;
  WaveletMethod method = WaveletMethod::cdf97;
  std::uint8_t scale = 11;
};

// The whole stream: header and payload. A signal whose
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

// The longest stream compress() and compress_bounded() write for
// `sample_count` samples with any options and level: the header and either
// coder's payload when the coefficients do not compress at all.
QUARNEL_API std::uint64_t compress_bound(std::uint64_t sample_count);

// Exactly as many samples as were compressed.
QUARNEL_API std::expected<std::vector<float>, QuarnelError> decompress(
    std::span<const std::uint8_t> stream);

// What a stream's header says.
struct StreamHeader {
  WaveletMethod method = WaveletMethod::cdf97;
  std::uint8_t levels = 0;                 // 1..kMaxLevels
  std::uint8_t scale = 0;                  // kMinScale..kMaxScale
  CoderChoice coder = CoderChoice::arans;  // of the payload: deflate or arans
  std::uint32_t sample_count = 0;          // at most kMaxSampleCount
  // The stored range and the mean of the normalised signal; finite.
  float min_value = 0.0f;
  float max_value = 0.0f;
  float mean_value = 0.0f;
  std::uint32_t payload_length = 0;  // bytes after the header

  friend bool operator==(const StreamHeader&, const StreamHeader&) = default;
};

// The header at the start of `stream`, read and checked exactly as
// decompress() checks it first: its fields, the sample count, then the level
// count; the first failure is returned, with decompress()'s error. Reads the
// first kHeaderSize bytes and nothing after them: decompress() goes on to
// check that the stream holds the whole payload. Lets a caller size a
// buffer, or refuse a stream, without decoding it.
QUARNEL_API std::expected<StreamHeader, QuarnelError> read_header(
    std::span<const std::uint8_t> stream);

// The same two calls with up to `threads` threads working on one signal: the
// rANS coder codes its two byte planes side by side. The streams and samples
// are exactly those of the calls above; threads <= 1 runs on the calling
// thread alone. Each call starts and joins its own threads.
QUARNEL_API std::expected<std::vector<std::uint8_t>, QuarnelError> compress(
    std::span<const float> samples, const CompressionOptions& options, unsigned threads);
QUARNEL_API std::expected<std::vector<float>, QuarnelError> decompress(
    std::span<const std::uint8_t> stream, unsigned threads);

// ---------------------------------------------------------------------------
// Error-bounded compression
//
// A second encoder for the same stream format: given a target error it
// returns the smallest stream it finds whose decoded samples meet it. It
// rounds coefficients instead of truncating them, zeroes small ones band by
// band where they cost more bits than they save error, picks the level count
// (up to 10) and sets the quantisation step anywhere, not only to the seven
// scales, by storing a wider range than the signal's. Every candidate is
// checked by decoding it exactly as decompress() does, so the figures it
// reports are those every decoder gives, on every processor. When its
// estimates miss, it searches the whole space: every allowed wavelet at every
// level count at the finest step that fits 16 bits, and compress()'s own
// streams at every scale (low cutoff), and keeps the smallest that meets the
// target: what compress() reaches with an allowed wavelet at some scale, it
// reaches.
//
// The range of a signal is max - min of its finite samples; the PSNR is
// 20 log10(range / RMSE) over the finite samples (+inf for an exact stream,
// which meets every PSNR target). Non-finite samples are outside every
// target: each is coded as the finite sample before it (the first finite
// sample for those at the start, 0 when none is finite) and comes back near
// that value, or, in a stream of compress(), as compress() codes it.

enum class ErrorTarget : std::uint8_t {
  max_error = 0,       // largest |decoded - input|, in the signal's units
  relative_error = 1,  // the same as a fraction of the signal's range
  psnr = 2,            // decibels, at least this
};

struct BoundedOptions {
  ErrorTarget target = ErrorTarget::max_error;
  double value = 0.0;  // as check_error_target() allows
  // Pinned wavelet, or the encoder's choice.
  std::optional<WaveletMethod> method;
  // deflate or arans pins the coder; auto_ codes with both and keeps the
  // smaller stream.
  CoderChoice coder = CoderChoice::auto_;
  // Where the payload is coded with DEFLATE, kMinDeflateLevel..kMaxDeflateLevel.
  // auto_ tries a sparse payload with DEFLATE at level 10 at least, 12 up to
  // 2^18 coefficients: the smallest stream is what it asks for.
  int deflate_level = kDefaultDeflateLevel;
};

// The rule for a target's value, which compress_bounded() applies first: a
// finite number >= 0 for max_error and relative_error, any finite number of
// dB for psnr. Fails with UnsupportedConfiguration naming the value, or the
// target when it is none of the three.
QUARNEL_API std::expected<void, QuarnelError> check_error_target(ErrorTarget target, double value);

// The rule for a DEFLATE level, kMinDeflateLevel..kMaxDeflateLevel, which the
// encoders that take one apply: fails with UnsupportedConfiguration naming
// the level.
QUARNEL_API std::expected<void, QuarnelError> check_deflate_level(int level);

// float64 samples for a float32 stream: a finite sample that rounds to an
// infinity (from half a float32 step above the largest float32) cannot be
// stored. Fails with UnsupportedConfiguration "sample I holds X, beyond the
// float32 range" for the first such sample.
QUARNEL_API std::expected<void, QuarnelError> check_float32_range(std::span<const double> samples);

// The stream and what it achieves, measured on its decoded samples.
struct BoundedResult {
  std::vector<std::uint8_t> stream;
  double max_error = 0.0;  // over the finite samples
  double psnr = 0.0;       // dB; +inf when every finite sample comes back exactly
  WaveletMethod method = WaveletMethod::cdf97;
  std::uint8_t scale = 0;
  std::uint8_t levels = 0;
  CoderChoice coder = CoderChoice::arans;  // the coder used: deflate or arans
};

// Fails with BoundUnreachable when no stream meets the target, naming what
// the closest stream it could return achieves (errors rounded up to three
// digits, PSNR down to a tenth of a dB, so that the figure given back as the
// target is met), and as compress() does for an empty or oversized signal.
// `threads` as for compress().
QUARNEL_API std::expected<BoundedResult, QuarnelError> compress_bounded(
    std::span<const float> samples, const BoundedOptions& options);
QUARNEL_API std::expected<BoundedResult, QuarnelError> compress_bounded(
    std::span<const float> samples, const BoundedOptions& options, unsigned threads);

// float64 samples: the stream holds float32 values, but every figure, the
// range of a target and the tightest figure of a refusal are measured against
// the caller's float64 values, so a target finer than the float32 grid near
// the signal is refused. A finite sample whose float32 rounding is infinite is
// refused (UnsupportedConfiguration "sample I holds X, beyond the float32
// range").
QUARNEL_API std::expected<BoundedResult, QuarnelError> compress_bounded(
    std::span<const double> samples, const BoundedOptions& options, unsigned threads);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

// The encoders for storage: compress() and compress_bounded() with the
// trailer (trailer.h) after the stream. The masked samples take no part in
// the range, the mean or the error: each is coded as the unmasked sample
// before it (the first unmasked one at the start, 0 when there is none),
// which continues the signal and costs least.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

struct StoreOptions {
  bool trailer = true;  // false: the bare stream, with no mask, as the plain encoders write it
  // With a trailer: samples equal to it are masked too, but for a fill inside
  // the range of the other samples only its runs at either end or of 256 or
  // more (unwritten samples); its other samples are coded as data.
  std::optional<double> fill_value;
  std::optional<double> sample_rate;
  std::optional<std::uint32_t> channels;
  std::string source_format;
  // With a trailer and a largest-error target: a coarser stream whose few
  // samples beyond the bound are listed as corrections (and which, for a
  // signal on a grid, readers round back onto it). Readers that ignore the
  // trailer see samples off by up to Corrections::bare_max_error; false keeps
  // the bound for every reader.
  bool corrections = true;
  // The plain encoder's DEFLATE level, for a payload it codes with DEFLATE,
  // kMinDeflateLevel..kMaxDeflateLevel: the default gives compress()'s bytes.
  int deflate_level = kDefaultDeflateLevel;
};

// compress() with a trailer. A signal with nothing masked gives compress()'s
// bytes followed by the trailer. float64 samples are rounded to float32, and
// one that float32 cannot hold is refused (check_float32_range()).
QUARNEL_API std::expected<std::vector<std::uint8_t>, QuarnelError> compress_stored(
    std::span<const float> samples, const CompressionOptions& options, const StoreOptions& store,
    unsigned threads);
QUARNEL_API std::expected<std::vector<std::uint8_t>, QuarnelError> compress_stored(
    std::span<const double> samples, const CompressionOptions& options, const StoreOptions& store,
    unsigned threads);

// compress_bounded() with a trailer, which also records the target and what
// the stream reaches, and the signal's range where the header stores a wider
// one.
QUARNEL_API std::expected<BoundedResult, QuarnelError> compress_bounded_stored(
    std::span<const float> samples, const BoundedOptions& options, const StoreOptions& store,
    unsigned threads);
QUARNEL_API std::expected<BoundedResult, QuarnelError> compress_bounded_stored(
    std::span<const double> samples, const BoundedOptions& options, const StoreOptions& store,
    unsigned threads);

// The longest trailer the storage encoders append with `store` to a stream
// of `sample_count` samples: every sample masked (each with a float64 value
// of its own) or corrected, and the bounded encoder's records. With
// compress_bound() it sizes a buffer for any storage encoder.
QUARNEL_API std::uint64_t trailer_bound(std::uint64_t sample_count, const StoreOptions& store);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

// The trailer: what quarnel's own tools append after a stream's payload.
//
// A decoder of the format reads the 52-byte header and payload_length bytes
// of payload and ignores what follows, so a stream with a trailer is still a
// stream of the format, byte for byte the same up to the payload's end. The
// trailer adds what the format cannot say:
// - a CRC-32 over the header, the payload and the trailer's own fields, so a
//   damaged stream is refused instead of decoding to other samples;
// - a mask of the samples the payload does not represent (NaN, +-inf, and
//   samples equal to a declared fill value), restored bit for bit;
// - what a file needs back: sample rate, channels, the source's sample
//   format, the target asked for and the error reached, the signal's range;
// - corrections: the few samples a coarser payload leaves beyond a largest-
//   error target, each moved back within it by whole quanta, and for a
//   signal whose values lie on a grid (scaled integers, as converters give),
//   the grid every decoded sample is rounded to.
//
// Layout, little-endian, starting right after the payload:
//   0  4  magic "QRNT"
//   4  1  version, 1
//   5  1  0 (reserved)
//   6  4  length of the whole trailer in bytes, this field and the CRC
//         included; the trailer ends the stream
//  10  .. records: type (1 byte), body length (LEB128), body
//  -4  4  CRC-32 of every stream byte before it
// A record type with bit 0x80 set is required: a reader that does not know
// it refuses the stream. Unknown optional records are skipped.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"
#include "quarnel/store.h"  // the storage encoders, declared here before they had a header

namespace quarnel {
inline namespace QUARNEL_ABI {

// Consecutive samples that all hold one masked value.
struct MaskRun {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::uint32_t value = 0;  // index into Trailer::values
  friend bool operator==(const MaskRun&, const MaskRun&) = default;
};

// The target a bounded stream was made for and what it reached, measured
// against the caller's samples.
struct TargetRecord {
  ErrorTarget kind = ErrorTarget::max_error;
  double value = 0.0;
  double max_error = 0.0;
  double psnr = 0.0;
  friend bool operator==(const TargetRecord&, const TargetRecord&) = default;
};

// Sample `index` of the decoded payload becomes the float nearest to
// decoded + steps * quantum, computed in double.
struct Correction {
  std::uint64_t index = 0;
  std::int64_t steps = 0;  // never 0
  friend bool operator==(const Correction&, const Correction&) = default;
};

// What a reader makes of decoded sample x corrected by `steps` quanta; the
// encoder places its corrections with the same rounding.
inline float corrected_sample(float x, std::int64_t steps, double quantum) {
  return static_cast<float>(static_cast<double>(x) + static_cast<double>(steps) * quantum);
}

// Values origin + k * step for whole k.
struct Grid {
  double origin = 0.0;  // finite
  double step = 0.0;    // finite and > 0
  friend bool operator==(const Grid&, const Grid&) = default;
};

// The grid point nearest to x, computed in double, as a reader rounds a
// corrected sample and the encoder predicts it.
inline float on_grid(float x, const Grid& g) {
  return static_cast<float>(g.origin +
                            std::nearbyint((static_cast<double>(x) - g.origin) / g.step) * g.step);
}

struct Corrections {
  double quantum = 0.0;          // finite and > 0
  double bare_max_error = 0.0;   // the largest error a reader that ignores them sees
  std::vector<Correction> list;  // ascending indices, within the sample count
  // After the list is applied, every sample goes to its nearest grid point.
  std::optional<Grid> grid;
  friend bool operator==(const Corrections&, const Corrections&) = default;
};

struct Trailer {
  // The masked samples' own bits, as the source held them: float32 bits
  // (value_width 4) or float64 bits (8).
  std::uint8_t value_width = 4;
  std::vector<std::uint64_t> values;
  std::vector<MaskRun> mask;  // ascending and disjoint, within the sample count
  std::optional<double> sample_rate;
  std::optional<std::uint32_t> channels;  // interleaved: sample i is channel i % channels
  std::string source_format;              // "float32", "float64", "PCM_16", ...; empty: not said
  std::optional<TargetRecord> target;
  // min and max of the unmasked samples, when the header's stored range is
  // wider than the signal's.
  std::optional<std::pair<double, double>> signal_range;
  std::optional<Corrections> corrections;
  friend bool operator==(const Trailer&, const Trailer&) = default;
};

// The mask of a signal: its non-finite samples and, with `fill`, the samples
// equal to it (a NaN fill masks every NaN, which non-finite does anyway).
QUARNEL_API Trailer mask_of(std::span<const float> samples, std::optional<double> fill);
QUARNEL_API Trailer mask_of(std::span<const double> samples, std::optional<double> fill);

// Appends `trailer` to a bare stream: header, payload and nothing else.
QUARNEL_API std::expected<void, QuarnelError> append_trailer(std::vector<std::uint8_t>& stream,
                                                             const Trailer& trailer);

// The trailer of `stream`: nothing for a bare stream, StreamDamaged for
// bytes after the payload that are not a whole trailer, or whose checksum
// fails, and for a trailer no writer makes (corrections or a grid that move
// samples far beyond the stored range, a source format that is not UTF-8).
// The header is checked first, as decompress() checks it, and its sample
// count against what the payload can hold (DecompressionFailed), before
// anything is sized by it. A bare stream that ends in a whole trailer its
// header does not point to (a damaged payload_length) is StreamDamaged, and
// so is any bare stream with `require_trailer`: a reader whose writer always
// adds the trailer sets it, so that a stream cut at its payload's end is
// refused rather than read as a bare one.
QUARNEL_API std::expected<std::optional<Trailer>, QuarnelError> read_trailer(
    std::span<const std::uint8_t> stream);
QUARNEL_API std::expected<std::optional<Trailer>, QuarnelError> read_trailer(
    std::span<const std::uint8_t> stream, bool require_trailer);

// Moves the corrected samples of a decoded payload and rounds every sample
// to the grid, when there is one; before the mask.
QUARNEL_API void apply_corrections(const Trailer& trailer, std::span<float> samples);

// Writes the masked values over decoded samples (their float32 form for a
// float64 source).
QUARNEL_API void apply_mask(const Trailer& trailer, std::span<float> samples);
QUARNEL_API void apply_mask(const Trailer& trailer, std::span<double> samples);

// Number of masked samples.
QUARNEL_API std::uint64_t masked_count(const Trailer& trailer);

// decompress() for every stream quarnel's tools write: the trailer, when
// there is one, is verified before anything is decoded (read_trailer(), with
// `require_trailer`), and its mask is restored over the decoded samples after
// its corrections.
struct DecodedStream {
  std::vector<float> samples;
  std::optional<Trailer> trailer;
};
// The overloads without `require_trailer` (false) keep the calls that
// programs built before it link against.
QUARNEL_API std::expected<DecodedStream, QuarnelError> decompress_with_trailer(
    std::span<const std::uint8_t> stream, unsigned threads);
QUARNEL_API std::expected<DecodedStream, QuarnelError> decompress_with_trailer(
    std::span<const std::uint8_t> stream, unsigned threads, bool require_trailer);

// The same into memory the caller places: once the payload has shown it
// holds every coefficient, `place(sample_count)` gives room for exactly that
// many samples, which are rebuilt there (in place where the transform allows)
// and then corrected and masked. A header alone never makes the caller
// allocate; after a failure the placed memory holds no defined values.
// Returns the trailer, when there is one.
QUARNEL_API std::expected<std::optional<Trailer>, QuarnelError> decompress_with_trailer_into(
    std::span<const std::uint8_t> stream, unsigned threads,
    const std::function<std::span<float>(std::size_t)>& place);
QUARNEL_API std::expected<std::optional<Trailer>, QuarnelError> decompress_with_trailer_into(
    std::span<const std::uint8_t> stream, unsigned threads,
    const std::function<std::span<float>(std::size_t)>& place, bool require_trailer);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

// decompress() with the trailer: verified before anything is decoded, then
// its corrections and its mask applied to the decoded samples.
#include "quarnel/trailer.h"

#include <functional>
#include <optional>
#include <span>
#include <utility>

#include "quarnel/decompressor.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

std::expected<DecodedStream, QuarnelError> decompress_with_trailer(
    std::span<const std::uint8_t> stream, unsigned threads, bool require_trailer) {
  QUARNEL_TRY_ASSIGN(trailer, read_trailer(stream, require_trailer));
  // A stream the trailer's checksum vouches for is read by the faster
  // inflater; a bare one keeps zlib's outcome on damaged bytes.
  QUARNEL_TRY_ASSIGN(samples,
                     decompress(stream, threads, trailer ? Inflater::libdeflate : Inflater::zlib));
  DecodedStream out{std::move(samples), std::move(trailer)};
  if (out.trailer) {
    apply_corrections(*out.trailer, out.samples);
    apply_mask(*out.trailer, out.samples);
  }
  return out;
}

std::expected<std::optional<Trailer>, QuarnelError> decompress_with_trailer_into(
    std::span<const std::uint8_t> stream, unsigned threads,
    const std::function<std::span<float>(std::size_t)>& place, bool require_trailer) {
  QUARNEL_TRY_ASSIGN(trailer, read_trailer(stream, require_trailer));
  std::span<float> samples;
  const auto placed = [&](std::size_t count) { return samples = place(count); };
  QUARNEL_TRY(
      decompress_into(stream, threads, placed, trailer ? Inflater::libdeflate : Inflater::zlib));
  if (trailer) {
    apply_corrections(*trailer, samples);
    apply_mask(*trailer, samples);
  }
  return trailer;
}

std::expected<DecodedStream, QuarnelError> decompress_with_trailer(
    std::span<const std::uint8_t> stream, unsigned threads) {
  return decompress_with_trailer(stream, threads, false);
}

std::expected<std::optional<Trailer>, QuarnelError> decompress_with_trailer_into(
    std::span<const std::uint8_t> stream, unsigned threads,
    const std::function<std::span<float>(std::size_t)>& place) {
  return decompress_with_trailer_into(stream, threads, place, false);
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel

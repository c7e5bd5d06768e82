// Internal: raw DEFLATE payloads (no zlib or gzip wrapper): the one place that
// talks to the DEFLATE libraries (libdeflate codes; zlib inflates, and
// libdeflate inflates payloads a checksum vouches for).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// Appends one complete raw DEFLATE stream of `input`, compressed by libdeflate
// at `level` (compress() uses 6), to `out`. Fails with EncodeFailed
// "insufficient memory" when the library cannot set up its compressor.
std::expected<void, QuarnelError> deflate_append(std::span<const std::uint8_t> input,
                                                 std::vector<std::uint8_t>& out,
                                                 int level = kDefaultDeflateLevel);

// The longest raw DEFLATE stream deflate_append can append for `size` input bytes:
// libdeflate's own bound, which covers its stored blocks.
std::uint64_t deflate_bound(std::uint64_t size);

// Bytes inflated from a payload. The storage is left uninitialised until
// written, so reserving room for what a header promises costs no more than
// what the payload actually delivers.
struct InflatedBytes {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;

  std::span<const std::uint8_t> bytes() const { return {data.get(), size}; }
};

// Inflates a raw DEFLATE payload until the end of the DEFLATE stream or the
// end of the payload, whichever comes first: input after the final block is
// ignored, and a payload that stops before its final block yields what was
// inflated so far. Only the first `keep` output bytes are kept (later ones
// are still inflated, so damage anywhere is reported, but never stored).
// Fails with DecompressionFailed "corrupt deflate stream" or "out of memory".
std::expected<InflatedBytes, QuarnelError> inflate_payload(std::span<const std::uint8_t> payload,
                                                           std::uint64_t keep);

// Which library inflates a payload. zlib is the reference: every outcome on
// damaged bytes is its own. libdeflate is about twice as fast but accepts a
// few streams zlib refuses, so it reads only payloads whose bytes a checksum
// has vouched for.
enum class Inflater { zlib, libdeflate };

// inflate_payload() with the chosen library. libdeflate inflates a payload
// that it takes whole, ends within it and gives at most `keep` bytes, which
// is every payload an encoder writes; anything else goes to zlib, so that the
// outcome is zlib's.
std::expected<InflatedBytes, QuarnelError> inflate_payload(std::span<const std::uint8_t> payload,
                                                           std::uint64_t keep, Inflater inflater);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

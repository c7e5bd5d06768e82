// The decompression pipeline. The public entry point, decompress(), is
// declared in quarnel/quarnel.h; this header exposes the payload inflater so
// its edge behaviour can be checked on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "quarnel/error.h"

namespace quarnel {

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
// are still inflated, so damage anywhere is reported, but never stored); the
// result is the kept bytes. Fails with DecompressionFailed "corrupt deflate
// stream" or "out of memory".
std::expected<InflatedBytes, QuarnelError> inflate_payload(std::span<const std::uint8_t> payload,
                                                           std::uint64_t keep);

}  // namespace quarnel

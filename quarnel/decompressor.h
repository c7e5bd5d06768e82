// Internal: the decompression pipeline. The public entry points, decompress()
// and read_header(), are declared in quarnel/quarnel.h; this header adds, for
// the codec's own callers, every check decompress() makes on a stream before it
// decodes anything, with the header as stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/header.h"
#include "quarnel/raw_deflate.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// The header of `stream`, checked as decompress() checks it: read_header()'s
// checks, then that the stream holds the whole payload. The first failure is
// returned, with decompress()'s error.
std::expected<QuarnelHeader, QuarnelError> read_stream_header(std::span<const std::uint8_t> stream);

// Whether the payload of a stream read_stream_header() has passed can hold
// the coefficients of its header's sample count, on the most either coder
// gives per byte: a cheap test on which a caller sizes what the header
// promises before anything is decoded. A stream that passes may still fail
// to decode.
std::expected<void, QuarnelError> check_payload_holds(const QuarnelHeader& header);

// decompress() with a DEFLATE payload inflated by `inflater`: libdeflate only
// for a stream whose bytes a checksum has vouched for (raw_deflate.h).
// decompress() itself is this with zlib.
std::expected<std::vector<float>, QuarnelError> decompress(std::span<const std::uint8_t> stream,
                                                           unsigned threads, Inflater inflater);

// decompress() into memory the caller places: once the payload has shown it
// holds every coefficient, `place(sample_count)` gives room for exactly that
// many samples, and they are rebuilt there (in place where the transform
// allows) instead of in a vector of their own. A header alone never makes the
// caller allocate.
std::expected<void, QuarnelError> decompress_into(
    std::span<const std::uint8_t> stream, unsigned threads,
    const std::function<std::span<float>(std::size_t)>& place, Inflater inflater = Inflater::zlib);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

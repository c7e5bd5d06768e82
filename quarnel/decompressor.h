// The decompression pipeline. The public entry points, decompress() and
// read_header(), are declared in quarnel/quarnel.h; this header adds, for the
// codec's own callers, every check decompress() makes on a stream before it
// decodes anything, with the header as stored.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "quarnel/error.h"
#include "quarnel/header.h"

namespace quarnel {

// The header of `stream`, checked as decompress() checks it: read_header()'s
// checks, then that the stream holds the whole payload. The first failure is
// returned, with decompress()'s error.
std::expected<QuarnelHeader, QuarnelError> read_stream_header(std::span<const std::uint8_t> stream);

}  // namespace quarnel

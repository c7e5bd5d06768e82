// The decompression pipeline. The public entry point, decompress(), is
// declared in quarnel/quarnel.h; this header adds the checks it makes on a
// stream before it decodes anything, for callers that size a buffer first.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "quarnel/error.h"
#include "quarnel/header.h"

namespace quarnel {

// The header of `stream`, checked as decompress() checks it: the header's own
// fields, the sample count, the level count, then that the stream holds the
// whole payload. The first failure is returned, with decompress()'s error.
std::expected<QuarnelHeader, QuarnelError> read_stream_header(std::span<const std::uint8_t> stream);

}  // namespace quarnel

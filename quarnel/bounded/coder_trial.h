// The chosen candidate's bytes given to an entropy coder: the one asked for,
// or where the coder is left to the encoder, the rANS coder and, on sparse
// payloads, DEFLATE beside it, the smaller stream kept.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "quarnel/bounded/candidate_decode.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

// The stream of `b`, its header finished; `used` is the coder it carries.
std::expected<std::vector<std::uint8_t>, QuarnelError> encode(const Built& b,
                                                              const BoundedOptions& options,
                                                              unsigned threads, CoderChoice& used);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

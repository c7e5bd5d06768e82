// The longest stream the encoders can write for a number of samples, so that
// a caller can size a buffer before compressing: the header, the payload of
// either coder when the coefficients do not compress at all, and the longest
// trailer.
#pragma once

#include <cstdint>

#include "quarnel/export.h"
#include "quarnel/trailer.h"

namespace quarnel::inline QUARNEL_ABI {

// Header and payload: what compress() and compress_bounded() can write, with
// any options, for `sample_count` samples.
std::uint64_t bare_stream_bound(std::uint64_t sample_count);

// The longest trailer the storage encoders can append with `store`: every
// sample masked (each with a float64 value of its own) or corrected, and the
// bounded encoder's records.
std::uint64_t trailer_bound(std::uint64_t sample_count, const StoreOptions& store);

}  // namespace quarnel::inline QUARNEL_ABI

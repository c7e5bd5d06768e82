// The bounded encoder as the storage encoders use it: with the samples its
// stream decodes to.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/finite_range.h"
#include "quarnel/quarnel.h"

namespace quarnel::inline QUARNEL_ABI {

// Takes the samples a stream decodes to in order, a piece at a time: `from`
// is the index of the piece's first sample.
using DecodedSink = std::function<void(std::size_t from, std::span<const float> decoded)>;

// compress_bounded(), given finite_range() of `samples`, which a storage
// encoder has taken already, and into `take` the samples every decoder
// rebuilds from its stream, made from the chosen candidate's coefficients as
// they are measured rather than by decoding the payload, and never held
// whole. `take` may see other candidates' samples first: each decode starts
// again from sample 0, and the last is the chosen stream's.
std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(std::span<const float> samples,
                                                                    const FiniteRange<float>& range,
                                                                    const BoundedOptions& options,
                                                                    unsigned threads,
                                                                    const DecodedSink& take);
std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(
    std::span<const double> samples, const FiniteRange<double>& range,
    const BoundedOptions& options, unsigned threads, const DecodedSink& take);

}  // namespace quarnel::inline QUARNEL_ABI

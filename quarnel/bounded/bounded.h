// The bounded encoder as the storage encoders use it: with the samples its
// stream decodes to.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>

#include "quarnel/bounded/finite_range.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// Takes the samples a stream decodes to in order, a piece at a time: `from`
// is the index of the piece's first sample.
using DecodedSink = std::function<void(std::size_t from, std::span<const float> decoded)>;

// compress_bounded(), given finite_range() of `samples`, which a storage
// encoder has taken already, and into `take` the samples every decoder
// rebuilds from its stream, made from the chosen candidate's coefficients as
// they are measured rather than by decoding the payload, and never held
// whole. `take` may see other candidates' samples first: each decode starts
// again from sample 0, and the last is the chosen stream's. With `or_closest`,
// a target no stream meets gives the stream that comes closest to it rather
// than a refusal: a coarse stream that corrections finish.
std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(
    std::span<const float> samples, const FiniteRange<float>& range, const BoundedOptions& options,
    unsigned threads, const DecodedSink& take, bool or_closest = false);
std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(
    std::span<const double> samples, const FiniteRange<double>& range,
    const BoundedOptions& options, unsigned threads, const DecodedSink& take,
    bool or_closest = false);

// The refusal of a largest-error or relative-error target, naming the
// tightest figure the signal allows in the target's own terms.
QuarnelError tightest_unreachable(ErrorTarget kind, double value, double tightest);

// The figure a refusal names for `v`: three significant digits, rounded up.
double named_figure(double v);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

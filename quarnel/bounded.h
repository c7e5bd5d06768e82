// The bounded encoder as the storage encoders use it: with the samples its
// stream decodes to.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/quarnel.h"

namespace quarnel::inline QUARNEL_ABI {

// compress_bounded(), and in `decoded` the samples every decoder rebuilds
// from its stream, taken from the chosen candidate's coefficients rather
// than by decoding the payload again.
std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(std::span<const float> samples,
                                                                    const BoundedOptions& options,
                                                                    unsigned threads,
                                                                    std::vector<float>& decoded);
std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(std::span<const double> samples,
                                                                    const BoundedOptions& options,
                                                                    unsigned threads,
                                                                    std::vector<float>& decoded);

}  // namespace quarnel::inline QUARNEL_ABI

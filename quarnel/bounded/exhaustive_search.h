// The whole space, for when the estimates miss: every wavelet at every level
// count at its finest step, and the plain encoder's streams, each decoded and
// measured, the smallest that meets the target kept.
#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/bounded/decomposition.h"
#include "quarnel/bounded/error_measure.h"
#include "quarnel/bounded/signal_scan.h"
#include "quarnel/bounded/target_bounds.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

// A stream ready to return.
struct Encoded {
  std::vector<std::uint8_t> stream;
  CoderChoice coder = CoderChoice::arans;
  WaveletMethod method{};
  QuarnelHeader header;
  Achieved achieved;
};

// What the whole space holds: the smallest stream that meets the target, if
// any, and what the closest stream achieves (with that stream, when asked).
struct Exhausted {
  std::optional<Encoded> smallest;
  Achieved tightest{std::numeric_limits<double>::infinity(),
                    std::numeric_limits<double>::infinity()};
  std::optional<Encoded> closest;
};

// Every allowed wavelet at every level count at its finest step, and the
// plain encoder's streams, compress(), at every scale.
std::expected<Exhausted, QuarnelError> exhaust(const Signal& s, const Target& t,
                                               std::span<const WaveletMethod> methods,
                                               const BoundedOptions& options, unsigned threads,
                                               Arena& arena, bool keep_closest);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

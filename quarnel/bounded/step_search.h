// The search from an estimate: candidates decoded and the step corrected
// until one meets the target closely.
#pragma once

#include <expected>
#include <optional>

#include "quarnel/bounded/bounded.h"
#include "quarnel/bounded/candidate_decode.h"
#include "quarnel/bounded/candidate_estimate.h"
#include "quarnel/bounded/decomposition.h"
#include "quarnel/bounded/target_bounds.h"
#include "quarnel/error.h"
#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

struct Found {
  Measured measured;
  Candidate candidate;
  bool decoded_last = false;  // no candidate was decoded after it
};

// Starting from an estimate, decodes candidates and corrects the step until
// one meets the target closely. The error is taken to grow as a power of the
// step, the power measured between the last two candidates. After
// kRefinements decodes the best candidate that met the target stands; while
// none has, the step keeps shrinking down to the finest. Nothing when even
// that misses.
std::expected<std::optional<Found>, QuarnelError> refine(const Signal& s, const Decomposition& d,
                                                         const Coefficients& coefficients,
                                                         const Target& t, Candidate c,
                                                         bool dead_zones, const DecodedSink* also);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

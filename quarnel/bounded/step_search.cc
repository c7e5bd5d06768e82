// The corrections of the step between decoded candidates, and when they stop.
#include "quarnel/bounded/step_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

// Candidates decoded to correct the step before giving up on an estimate.
constexpr int kRefinements = 6;
// A verified candidate this close under its target is good enough.
constexpr double kCloseEnough = 0.995;
// Where the corrections aim, within that window.
constexpr double kAim = 0.9975;

}  // namespace

std::expected<std::optional<Found>, QuarnelError> refine(const Signal& s, const Decomposition& d,
                                                         const Coefficients& coefficients,
                                                         const Target& t, Candidate c,
                                                         bool dead_zones, const DecodedSink* also) {
  std::optional<Found> best;
  double best_used = 0.0;
  const double finest = finest_step(d, c.levels);
  double previous_step = 0.0, previous_used = 0.0;
  for (int round = 1;; ++round) {
    // Where the largest error is the target, only a candidate that would
    // be kept needs its RMS error, which is reported.
    const bool with_rms = t.kind == ErrorTarget::psnr || !best || c.step > best->candidate.step;
    // Not QUARNEL_TRY_ASSIGN: GCC 12 warns, wrongly, that the optional it
    // moves out of the expected may be uninitialised.
    auto m = measured(s, d, coefficients, c, with_rms, also);
    if (!m) return std::unexpected(std::move(m).error());
    const double used = *m ? t.used((*m)->achieved) : std::numeric_limits<double>::infinity();
    if (best && *m) best->decoded_last = false;
    if (*m && t.met((*m)->achieved) && (!best || c.step > best->candidate.step)) {
      best = Found{std::move(**m), c, true};
      best_used = used;
    }
    if (best && (best_used >= kCloseEnough || round >= kRefinements)) break;
    if (c.step <= finest && !best) break;  // nothing finer to try

    double power = 1.0;
    if (previous_step > 0.0 && std::isfinite(used) && used > 0.0 && previous_used > 0.0 &&
        std::isfinite(previous_used) && std::abs(std::log(c.step / previous_step)) > 1e-4) {
      power =
          std::clamp(std::log(used / previous_used) / std::log(c.step / previous_step), 0.3, 3.0);
    }
    double factor = std::isfinite(used) && used > 0.0 ? std::pow(kAim / used, 1.0 / power) : 0.5;
    if (round >= kRefinements) factor = std::min(factor, 0.7);  // backing off
    previous_step = c.step;
    previous_used = used;
    const double step = std::max(finest, c.step * std::clamp(factor, 0.25, 4.0));
    if (best && step <= best->candidate.step * 1.0001) break;  // no gain left
    c = estimate(d, c.levels, step, dead_zones);
  }
  return best;
}

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

// What a candidate would cost and how far off it would be, estimated from the
// bands' statistics alone: the level count and step with the fewest
// estimated bits for an error, and a quantiser per band.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "quarnel/bounded/decomposition.h"
#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

// Steps are in units of the signal's range. Scale 12 with the range itself
// stored gives 2^-12; coarser ones come from a wider stored range, finer ones
// from a narrower one, as far as the coefficients fit 16 bits.
inline constexpr double kFinestStep = 1.0 / (1 << 20);
inline constexpr double kCoarsestStep = 64.0;
// How a band turns magnitudes m (in steps) into integers: 0 below
// `threshold`, else max(1, floor(m + offset)). The first is plain rounding;
// the others trade error for bits, the dead zone taking out the many small
// values and the lower offset shifting every cell towards the more frequent
// smaller magnitudes.
struct Quantiser {
  double threshold;
  double offset;
};
inline constexpr Quantiser kRounding = {0.5, 0.5};
inline constexpr std::array kQuantisers = {
    kRounding,           Quantiser{0.6, 0.5}, Quantiser{0.7, 0.45}, Quantiser{0.8, 0.45},
    Quantiser{0.9, 0.4}, Quantiser{1.0, 0.4}, Quantiser{1.15, 0.35}};

// A point the encoder may pick: a level count, a step (in units of the
// signal's range) and a quantiser per band (approximation first, then the
// details finest first).
struct Candidate {
  std::size_t levels = 0;
  double step = 0.0;
  std::vector<Quantiser> quantisers;
  double bits = 0.0;         // estimated
  double mean_square = 0.0;  // estimated, in units of the range squared
};

// The smallest step at which every band of `levels` levels fits 16 bits. The
// margin keeps the largest coefficient off the rounding edge of 32767; it is
// not applied to 2^-12, where it would store a range a millionth wider than
// the signal's and put every coefficient a hair off the grid that a signal of
// few distinct values lands on exactly.
double finest_step(const Decomposition& d, std::size_t levels);

// The candidate of `levels` levels at `step`, each band with the quantiser
// that pays best (plain rounding without `dead_zones`).
Candidate estimate(const Decomposition& d, std::size_t levels, double step, bool dead_zones);

// The level count and step with the fewest estimated bits whose estimated
// mean square error stays within `mean_square`; nothing when even the finest
// steps miss it. For each level count the grid is walked from the previous
// count's step to the two grid steps around the target, and the step and the
// bits are interpolated between them on the logarithm of the error.
std::optional<Candidate> best_levels(const Decomposition& d, double mean_square, bool dead_zones);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

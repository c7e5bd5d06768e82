// Finding the grid a signal's values lie on.
#include "quarnel/grid.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quarnel::inline QUARNEL_ABI {

namespace {

// Beyond 2^24 points a grid is finer than float32's own spacing somewhere.
constexpr double kMostPoints = 16777216.0;
// A sample this far off its grid point, in steps, is not on the grid.
constexpr double kLooseness = 1.0 / 64;

// The distance of every finite sample from its grid point, or nothing as soon
// as one lies too far off.
template <typename T>
std::optional<double> misfit_of(std::span<const T> samples, const Grid& g) {
  const double allowed = kLooseness * g.step;
  double worst = 0.0;
  for (const T x : samples) {
    if (!std::isfinite(x)) continue;
    const double off =
        std::abs(static_cast<double>(on_grid(static_cast<float>(x), g)) - static_cast<double>(x));
    if (!(off <= allowed)) return std::nullopt;
    worst = std::max(worst, off);
  }
  return worst;
}

template <typename T>
std::optional<GridFit> grid_of_impl(std::span<const T> samples, double lo, double hi) {
  if (!(hi > lo) || !std::isfinite(hi - lo)) return std::nullopt;
  // The smallest change between neighbours is a step, or a few: converters
  // move by one count often.
  double smallest = std::numeric_limits<double>::infinity();
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const double d =
        std::abs(static_cast<double>(samples[i]) - static_cast<double>(samples[i - 1]));
    if (d > 0.0 && d < smallest) smallest = d;
  }
  if (!std::isfinite(smallest)) return std::nullopt;
  for (const double parts : {1.0, 2.0, 3.0}) {
    // The step from the whole range, which holds a whole number of them:
    // the neighbours' difference alone carries their rounding.
    const double points = std::round((hi - lo) * parts / smallest);
    if (!(points >= 1.0 && points <= kMostPoints)) return std::nullopt;
    const Grid g{lo, (hi - lo) / points};
    if (const auto misfit = misfit_of(samples, g)) return GridFit{g, *misfit};
  }
  return std::nullopt;
}

}  // namespace

std::optional<GridFit> grid_of(std::span<const float> samples, double lo, double hi) {
  return grid_of_impl(samples, lo, hi);
}
std::optional<GridFit> grid_of(std::span<const double> samples, double lo, double hi) {
  return grid_of_impl(samples, lo, hi);
}

}  // namespace quarnel::inline QUARNEL_ABI

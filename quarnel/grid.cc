// Finding the grid a signal's values lie on.
#include "quarnel/grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quarnel::inline QUARNEL_ABI {

namespace {

// Beyond 2^24 points a grid is finer than float32's own spacing somewhere.
constexpr double kMostPoints = 16777216.0;
// A sample this far off its grid point, in steps, is not on the grid.
constexpr double kLooseness = 1.0 / 64;
// Kept off the edge where a decode half a step off rounds either way.
constexpr double kEdge = 1.0 / 1024;
// Blocks of samples in which the smallest change is looked for.
constexpr std::size_t kProbes = 16;
constexpr std::size_t kProbe = 4096;
// Counts of points the neighbours' rounding may leave open, at most.
constexpr double kCountsToTry = 64;
// Less widening than this does not pay for the grid's record.
constexpr double kWorthWidening = 1.02;

// The largest distance of a finite sample from the grid point on_grid()
// rounds its float32 value to, or nothing as soon as one lies too far off.
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

// A decode within (m + 1/2) steps of a sample's grid point rounds to a
// point m steps from it at most, which must keep within the bound.
double reach_of(const Grid& g, double misfit, double bound) {
  const double whole = std::floor((bound - misfit) / g.step);
  if (!(whole >= 0.0)) return 0.0;
  return (whole + 0.5 - kEdge) * g.step - misfit;
}

// The smallest change between neighbours other than none, +inf without one.
// Several running minima, as finite_range() keeps its extremes: a change
// with a non-finite side, and none, enter as +inf.
template <typename T>
T smallest_change(std::span<const T> samples) {
  constexpr T kInf = std::numeric_limits<T>::infinity();
  T smallest = kInf;
  std::size_t i = 1;
#if defined(__GNUC__)
  typedef T Vector __attribute__((vector_size(16)));
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(T);
  Vector least = {};
  least += kInf;
  for (; i + kLanes <= samples.size(); i += kLanes) {
    Vector a, b;
    std::memcpy(&a, &samples[i], sizeof a);
    std::memcpy(&b, &samples[i - 1], sizeof b);
    Vector d = a - b;
    d = d < T(0) ? -d : d;
    d = d > T(0) ? d : kInf;  // NaN, from a non-finite side, fails too
    least = d < least ? d : least;
  }
  for (std::size_t lane = 0; lane < kLanes; ++lane) smallest = std::min(smallest, least[lane]);
#endif
  for (; i < samples.size(); ++i) {
    const T d = std::abs(samples[i] - samples[i - 1]);
    if (d > T(0) && d < smallest) smallest = d;
  }
  return smallest;
}

template <typename T>
std::optional<GridFit> grid_of_impl(std::span<const T> samples, double lo, double hi,
                                    double bound) {
  if (!(hi > lo) || !std::isfinite(hi - lo) || !(bound > 0.0)) return std::nullopt;
  // The smallest change between neighbours is a step, or a few: converters
  // move by one count often, and blocks spread over the signal show one
  // without a pass over all of it.
  T least = std::numeric_limits<T>::infinity();
  if (samples.size() <= kProbes * kProbe) {
    least = smallest_change(samples);
  } else {
    for (std::size_t k = 0; k < kProbes; ++k) {
      const std::size_t at = (samples.size() - kProbe) / (kProbes - 1) * k;
      least = std::min(least, smallest_change(samples.subspan(at, kProbe)));
    }
  }
  const double smallest = static_cast<double>(least);
  if (!std::isfinite(smallest)) return std::nullopt;
  // The step from the whole range, which holds a whole number of them. The
  // neighbours' difference carries their rounding, and over many points that
  // leaves a few counts to try; a wrong count falls off the grid soon.
  const double width = hi - lo;
  const double rounding =
      2 * std::numeric_limits<T>::epsilon() * std::max(std::abs(lo), std::abs(hi));
  if (!(smallest > rounding)) return std::nullopt;
  const double fewest = std::floor(width / (smallest + rounding));
  const double most = std::ceil(width / (smallest - rounding));
  if (!(most - fewest <= kCountsToTry)) return std::nullopt;
  for (const double parts : {1.0, 2.0, 3.0}) {
    if (!(most * parts <= kMostPoints)) return std::nullopt;
    // Nothing to gain where the bound already reaches past a half step.
    if (!(reach_of({lo, smallest / parts}, 0.0, bound) > kWorthWidening * bound)) continue;
    for (double points = std::max(1.0, fewest * parts); points <= most * parts; ++points) {
      const Grid g{lo, width / points};
      if (const auto misfit = misfit_of(samples, g)) {
        const double reach = reach_of(g, *misfit, bound);
        if (reach > kWorthWidening * bound) return GridFit{g, reach};
        return std::nullopt;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<GridFit> grid_of(std::span<const float> samples, double lo, double hi, double bound) {
  return grid_of_impl(samples, lo, hi, bound);
}
std::optional<GridFit> grid_of(std::span<const double> samples, double lo, double hi,
                               double bound) {
  return grid_of_impl(samples, lo, hi, bound);
}

}  // namespace quarnel::inline QUARNEL_ABI

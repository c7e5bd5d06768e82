// Finding the grid a signal's values lie on.
#include "quarnel/store/grid.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

// Beyond 2^24 points a grid is finer than float32's own spacing somewhere.
constexpr double kMostPoints = 16777216.0;
// A sample this far off its grid point, in steps, is not on the grid.
constexpr double kLooseness = 1.0 / 64;
// Kept off the edge where a decode half a step off rounds either way.
constexpr double kEdge = 1.0 / 1024;
// Blocks of samples whose values show the step, spread over a long signal.
constexpr std::size_t kProbes = 16;
constexpr std::size_t kProbe = 4096;
// A gap between neighbouring values this far from a whole count of steps
// says there is no grid.
constexpr double kOffCount = 0.25;
// Counts of points the step's rounding may leave open, at most.
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

struct Step {
  double size = 0.0;
  double uncertainty = 0.0;  // in the size, from the values' rounding
};

// The step of the values of a few blocks spread over the signal (of all of
// a short one). Neighbouring values are a few steps apart, so each gap is a
// whole count of the step as known so far, and the counts summed over the
// values' span give the step ever closer, to the span's own rounding.
template <typename T>
std::optional<Step> step_of(std::span<const T> samples) {
  std::vector<double> values;
  const auto take = [&](std::span<const T> block) {
    for (const T x : block) {
      if (std::isfinite(x)) values.push_back(static_cast<double>(x));
    }
  };
  if (samples.size() <= kProbes * kProbe) {
    take(samples);
  } else {
    for (std::size_t k = 0; k < kProbes; ++k) {
      take(samples.subspan((samples.size() - kProbe) / (kProbes - 1) * k, kProbe));
    }
  }
  std::ranges::sort(values);
  values.erase(std::unique(values.begin(), values.end()), values.end());
  if (values.size() < 2) return std::nullopt;
  double step = std::numeric_limits<double>::infinity();
  for (std::size_t j = 1; j < values.size(); ++j) step = std::min(step, values[j] - values[j - 1]);
  double counts = 0.0;
  for (std::size_t j = 1; j < values.size(); ++j) {
    const double gap = (values[j] - values[j - 1]) / step;
    const double whole = std::round(gap);
    if (!(std::abs(gap - whole) <= kOffCount)) return std::nullopt;
    counts += whole;
    step = (values[j] - values.front()) / counts;
  }
  // Each value carries half a unit in the last place of T.
  const double rounding = std::numeric_limits<T>::epsilon() *
                          std::max(std::abs(values.front()), std::abs(values.back()));
  return Step{step, 2 * rounding / counts};
}

template <typename T>
std::optional<GridFit> grid_of_impl(std::span<const T> samples, double lo, double hi,
                                    double bound) {
  if (!(hi > lo) || !std::isfinite(hi - lo) || !(bound >= 0.0)) return std::nullopt;
  const auto step = step_of(samples);
  if (!step || !(step->size > step->uncertainty)) return std::nullopt;
  // The range holds a whole number of steps; the step's rounding leaves a
  // few counts open, and a wrong count falls off the grid soon.
  const double width = hi - lo;
  const double fewest = std::floor(width / (step->size + step->uncertainty));
  const double most = std::ceil(width / (step->size - step->uncertainty));
  if (!(most - fewest <= kCountsToTry)) return std::nullopt;
  for (const double parts : {1.0, 2.0, 3.0}) {
    if (!(most * parts <= kMostPoints)) return std::nullopt;
    // Nothing to gain where the bound already reaches past a half step.
    if (!(reach_of({lo, step->size / parts}, 0.0, bound) > kWorthWidening * bound)) continue;
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

}  // namespace QUARNEL_ABI
}  // namespace quarnel

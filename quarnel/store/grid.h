// Whether a signal's values lie on a grid: the scaled integers of a
// converter (an ECG's 0.005 mV, 16-bit audio's 2^-15) come back exactly from
// any decode that lands within half a step of them.
#pragma once

#include <optional>
#include <span>

#include "quarnel/trailer.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

struct GridFit {
  Grid grid;
  // How far off its sample a decoded one may land and still come within
  // the bound once rounded to the grid: wider than the bound itself.
  double reach = 0.0;
};

// The grid from `lo`, the smallest finite sample, to `hi`, the largest, on
// which every finite sample lies (within a 64th of a step), when rounding to
// it widens what a decode may miss by under a largest error of `bound`
// enough to pay for its record (for a bound of 0, every sample exactly on
// it, which an exact stream needs);
// nothing otherwise, or when the grid has more points than float32 tells
// apart.
std::optional<GridFit> grid_of(std::span<const float> samples, double lo, double hi, double bound);
std::optional<GridFit> grid_of(std::span<const double> samples, double lo, double hi, double bound);

}  // namespace QUARNEL_ABI
}  // namespace quarnel

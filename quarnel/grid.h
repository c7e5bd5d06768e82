// Whether a signal's values lie on a grid: the scaled integers of a
// converter (an ECG's 0.005 mV, 16-bit audio's 2^-15) come back exactly
// from any decode that lands within half a step of them.
#pragma once

#include <optional>
#include <span>

#include "quarnel/trailer.h"

namespace quarnel::inline QUARNEL_ABI {

struct GridFit {
  Grid grid;
  // The largest distance of a finite sample from the grid point on_grid()
  // rounds its float32 value to: float32 and the grid's own rounding.
  double misfit = 0.0;
};

// The grid from `lo`, the smallest finite sample, to `hi`, the largest, on
// which every finite sample lies within a 64th of a step; nothing when there
// is none, or when it has more points than float32 tells apart.
std::optional<GridFit> grid_of(std::span<const float> samples, double lo, double hi);
std::optional<GridFit> grid_of(std::span<const double> samples, double lo, double hi);

}  // namespace quarnel::inline QUARNEL_ABI

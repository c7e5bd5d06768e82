// What a band of wavelet coefficients would cost and how far it would be off
// at a given quantisation step, estimated from a histogram of magnitudes
// instead of quantising the band again for every step the encoder tries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

// Magnitudes in bins of an eighth of an octave: a bin is the exponent and the
// top three mantissa bits of the float, so its edges are exact floats.
class BandStatistics {
 public:
  BandStatistics() = default;
  explicit BandStatistics(std::span<const float> band);

  std::size_t count() const { return count_; }
  float max_abs() const { return max_abs_; }

  // Estimated cost of the band quantised with `step`: magnitudes below
  // `threshold` * step zeroed, the others m become
  // max(1, floor(m / step + offset)) steps (offset 0.5 rounds to nearest):
  // bits as the order-0 entropy of the values plus one sign bit per nonzero
  // value, and the sum of squared errors. Values are taken as spread evenly
  // over their bin. threshold + offset >= 1, offset <= 0.5.
  struct Cost {
    double bits = 0.0;
    double squared_error = 0.0;
  };
  Cost cost(double step, double threshold, double offset) const;

 private:
  std::size_t count_ = 0;
  double zeros_ = 0.0;  // values too small for any bin: exact zeros, subnormals
  float max_abs_ = 0.0f;
  struct Bin {
    double lo, hi;  // edges
    double count;
  };
  // Every occupied bin, in increasing order, and for each the count and the
  // squared magnitudes (as if spread evenly) of all bins before it: a step
  // zeroes a prefix of the bins at once.
  std::vector<Bin> bins_;
  std::vector<double> count_before_;
  std::vector<double> squares_before_;
};

}  // namespace QUARNEL_ABI
}  // namespace quarnel

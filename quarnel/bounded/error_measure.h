// What a decoded signal achieves against the caller's samples: the largest
// error and the RMS error, measured a piece at a time as a decode is made.
// Inline here: their loops run over every decoded sample.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "quarnel/bounded/signal_scan.h"
#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

// What a decoded signal achieves against the caller's finite samples, in
// their own precision.
struct Achieved {
  double max_error = 0.0;
  double rms_error = 0.0;
};

// The errors of a decoded signal against the caller's values, a non-finite
// sample counting an error of 0, which changes neither the largest error nor
// the sum: the loops have no branch to mispredict.
template <typename T>
double error_at(std::span<const float> samples, std::span<const T> values,
                std::span<const float> decoded, std::size_t i) {
  return std::isfinite(samples[i])
             ? std::abs(static_cast<double>(decoded[i]) - static_cast<double>(values[i]))
             : 0.0;
}

// Four running maxima: the largest error does not depend on the order it is
// taken in, and one would wait on every comparison.
template <typename T>
double largest_error(std::span<const float> samples, std::span<const T> values,
                     std::span<const float> decoded, double top) {
  std::array<double, 4> tops{top, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= samples.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      tops[k] = std::max(tops[k], error_at(samples, values, decoded, i + k));
    }
  }
  for (; i < samples.size(); ++i)
    tops[0] = std::max(tops[0], error_at(samples, values, decoded, i));
  return std::ranges::max(tops);
}

// The squared errors added in sample order, whose rounding the reported
// PSNR keeps, and the largest error beside them: the additions wait on each
// other, and the comparisons fit in the time they leave.
template <typename T>
void both_errors(std::span<const float> samples, std::span<const T> values,
                 std::span<const float> decoded, double& top, double& sum) {
  double largest = top, total = sum;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double e = error_at(samples, values, decoded, i);
    largest = std::max(largest, e);
    total += e * e;
  }
  top = largest;
  sum = total;
}

// What a decoded signal achieves, measured a piece at a time in sample
// order, so that a decode can be measured as it is made. The RMS error, the
// slower half, is measured only `with_rms`; else it is +inf.
class Measure {
 public:
  Measure(const Signal& s, bool with_rms) : s_(s), with_rms_(with_rms) {}

  // The decoder's samples from the first one not measured yet on.
  void add(std::span<const float> decoded) {
    if (s_.exact.empty()) {
      add_against(s_.samples, decoded);
    } else {
      add_against(s_.exact, decoded);
    }
    measured_ += decoded.size();
  }
  std::size_t measured() const { return measured_; }

  Achieved result() const {
    Achieved a{max_error_, std::numeric_limits<double>::infinity()};
    if (with_rms_) {
      a.rms_error = s_.finite == 0 ? 0.0 : std::sqrt(sum_ / static_cast<double>(s_.finite));
    }
    return a;
  }

 private:
  template <typename T>
  void add_against(std::span<const T> values, std::span<const float> decoded) {
    const auto samples = s_.samples.subspan(measured_, decoded.size());
    const auto caller = values.subspan(measured_, decoded.size());
    if (with_rms_) {
      both_errors(samples, caller, decoded, max_error_, sum_);
    } else {
      max_error_ = largest_error(samples, caller, decoded, max_error_);
    }
  }

  const Signal& s_;
  bool with_rms_;
  std::size_t measured_ = 0;
  double max_error_ = 0.0;
  double sum_ = 0.0;
};

inline Achieved measure(const Signal& s, std::span<const float> decoded) {
  Measure m(s, true);
  m.add(decoded);
  return m.result();
}

inline double psnr_of(double range, double rms_error) {
  if (rms_error == 0.0) return std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(range / rms_error);
}

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

// The signal as the bounded encoder takes it: its range and mean, taken once
// (scan()), and the transform's input, the normalised signal, made as the
// first level pulls it.
#pragma once

#include <cstddef>
#include <span>

#include "lumvet/lumvet.h"
#include "quarnel/bounded/finite_range.h"
#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

// The caller's signal, with the figures every stage takes of it.
struct Signal {
  std::span<const float> samples;  // what the stream codes, non-finite values included
  // The caller's float64 values, when it gave those, else empty: every error
  // and the range of a target are theirs, not their float32 rounding's.
  std::span<const double> exact;
  float lo = 0.0f;
  float hi = 0.0f;
  double range = 0.0;         // hi - lo: steps are in units of it
  double target_range = 0.0;  // max - min of the caller's finite values
  double mean = 0.0;          // of (x - lo) / range
  float first = 0.0f;         // the first finite sample, 0 when none is
  std::size_t finite = 0;
};

// The transform's input, (x - lo) / range - mean, made a chunk at a time as
// the first level pulls it, so that no normalised copy of the signal is ever
// held beside the bands. Non-finite samples take the value of the finite
// sample before them (the first finite one at the start): unlike a fixed
// substitute they neither widen the range nor add a step to the signal. A
// signal shorter than the transform repeats up to its length, as compress()
// extends it (the decoder cuts the extra samples). Samples are made in
// order, each once, as a transform pulls them, so the held value carries
// from one chunk to the next.
class NormalisedSignal {
 public:
  NormalisedSignal(const Signal& s, double mean) : s_(s), inv_(1.0 / s.range), mean_(mean) {}

  void fill(std::size_t from, std::size_t count, float* out);
  // The sum in sample order, onto `sum`, of what fill() makes of `count`
  // samples from `from`, for a mean of 0. Mostly every sample is finite: the
  // samples are made and added in one pass, whose additions, each waiting on
  // the one before, leave time for the rest.
  double sum_onto(double sum, std::size_t from, std::size_t count);
  lumvet::SampleSource source();

 private:
  const Signal& s_;
  double inv_;
  double mean_;
  float held_ = 0.0f;
};

// Ranges a caller has taken already (finite_range()), so that they are not
// taken twice: of the float32 samples, and of the caller's float64 values.
struct KnownRanges {
  const FiniteRange<float>* samples = nullptr;
  const FiniteRange<double>* exact = nullptr;
};

// The range and the mean.
Signal scan(std::span<const float> samples, std::span<const double> exact, KnownRanges known);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

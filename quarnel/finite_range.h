// The smallest and largest finite sample and how many are finite: the range
// the bounded encoder and the trailer take of a signal.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "quarnel/export.h"

namespace quarnel::inline QUARNEL_ABI {

template <typename T>
struct FiniteRange {
  T lo = std::numeric_limits<T>::infinity();  // +inf and -inf when none is finite
  T hi = -std::numeric_limits<T>::infinity();
  std::size_t finite = 0;
};

// Ties keep the first value seen, so the sign of a zero extreme is that of
// its first occurrence.
//
// Eight running extremes rather than one, so that no comparison waits on the
// one before; a non-finite sample enters each as the value that never wins.
// Their order cannot change an extreme's value, only which of two equal
// values is kept, and equal values differ only as zeros: a zero extreme is
// looked up again.
template <typename T>
FiniteRange<T> finite_range(std::span<const T> samples) {
  constexpr std::size_t kLanes = 8;
  constexpr T kInf = std::numeric_limits<T>::infinity();
  std::array<T, kLanes> lo, hi;
  std::array<std::size_t, kLanes> finite{};
  lo.fill(kInf);
  hi.fill(-kInf);
  const auto take = [&](std::size_t lane, T x) {
    const bool is_finite = std::abs(x) <= std::numeric_limits<T>::max();  // false for NaN
    const T low = is_finite ? x : kInf;
    const T high = is_finite ? x : -kInf;
    lo[lane] = low < lo[lane] ? low : lo[lane];
    hi[lane] = high > hi[lane] ? high : hi[lane];
    finite[lane] += is_finite;
  };
  std::size_t i = 0;
  for (; i + kLanes <= samples.size(); i += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) take(lane, samples[i + lane]);
  }
  for (; i < samples.size(); ++i) take(0, samples[i]);
  FiniteRange<T> r{lo[0], hi[0], finite[0]};
  for (std::size_t lane = 1; lane < kLanes; ++lane) {
    r.lo = lo[lane] < r.lo ? lo[lane] : r.lo;
    r.hi = hi[lane] > r.hi ? hi[lane] : r.hi;
    r.finite += finite[lane];
  }
  const auto first_zero = [&] {
    for (const T x : samples) {
      if (x == T(0)) return x;
    }
    return T(0);
  };
  if (r.lo == T(0)) r.lo = first_zero();
  if (r.hi == T(0)) r.hi = first_zero();
  return r;
}

}  // namespace quarnel::inline QUARNEL_ABI

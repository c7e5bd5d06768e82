// The smallest and largest finite sample and how many are finite: the range
// the bounded encoder and the trailer take of a signal.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>

#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

template <typename T>
struct FiniteRange {
  T lo = std::numeric_limits<T>::infinity();  // +inf and -inf when none is finite
  T hi = -std::numeric_limits<T>::infinity();
  std::size_t finite = 0;
};

// Ties keep the first value seen, so the sign of a zero extreme is that of
// its first occurrence.
//
// Several running extremes rather than one, so that no comparison waits on
// the one before: with GCC and Clang a vector of them, since their loop
// vectorisers take no float minimum that keeps NaN and signed zeros apart.
// A non-finite sample enters each as the value that never wins, and only
// where one was seen are the finite samples counted. The extremes' order
// cannot change an extreme's value, only which of two equal values is kept,
// and equal values differ only as zeros: a zero extreme is looked up again.
template <typename T>
FiniteRange<T> finite_range(std::span<const T> samples) {
  constexpr T kInf = std::numeric_limits<T>::infinity();
  FiniteRange<T> r;
  bool nonfinite = false;
  std::size_t i = 0;
#if defined(__GNUC__)
  typedef T Vector __attribute__((vector_size(16)));
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(T);
  Vector lo = {}, hi = {}, odd = {};
  lo += kInf;
  hi -= kInf;
  for (; i + kLanes <= samples.size(); i += kLanes) {
    Vector x;
    std::memcpy(&x, &samples[i], sizeof x);
    const Vector zero = x - x;  // 0 where x is finite, NaN elsewhere
    const auto finite = zero == T(0);
    const Vector low = finite ? x : kInf;
    const Vector high = finite ? x : -kInf;
    lo = low < lo ? low : lo;
    hi = high > hi ? high : hi;
    odd = finite ? odd : T(1);
  }
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    r.lo = lo[lane] < r.lo ? lo[lane] : r.lo;
    r.hi = hi[lane] > r.hi ? hi[lane] : r.hi;
    nonfinite |= odd[lane] != T(0);
  }
#endif
  for (; i < samples.size(); ++i) {
    const T x = samples[i];
    if (!std::isfinite(x)) {
      nonfinite = true;
      continue;
    }
    r.lo = x < r.lo ? x : r.lo;
    r.hi = x > r.hi ? x : r.hi;
  }
  r.finite = samples.size();
  if (nonfinite)
    r.finite = static_cast<std::size_t>(
        std::ranges::count_if(samples, [](T x) { return std::isfinite(x); }));
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

}  // namespace QUARNEL_ABI
}  // namespace quarnel

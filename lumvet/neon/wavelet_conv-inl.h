// Vector bodies of the convolution transforms, shared by the generic N-tap
// executor and the fixed-tap kernels. Re-included once per Highway target.
//
// Every output is the fixed chain of lumvet/conv_order.h on its own lane:
// lanes hold consecutive output positions, taps are walked in order and no
// reduction crosses lanes, so the bits do not depend on the vector width.
// The chain is made of fused multiply-adds; targets without a native FMA run
// the scalar chain (std::fma) instead.

#if defined(LUMVET_NEON_WAVELET_CONV_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMVET_NEON_WAVELET_CONV_INL_H_
#undef LUMVET_NEON_WAVELET_CONV_INL_H_
#else
#define LUMVET_NEON_WAVELET_CONV_INL_H_
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "hwy/highway.h"
#include "lumvet/border_mode.h"
#include "lumvet/conv_order.h"
#include "lumvet/sample_source.h"

HWY_BEFORE_NAMESPACE();
namespace lumvet {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// approx[j], details[j] for j < count, output j correlating the taps with
// x[2j .. 2j + L). kTaps is the tap count when known at compile time (the
// fixed kernels, whose broadcast taps then stay in registers), 0 otherwise.
template <std::size_t kTaps>
HWY_INLINE void CorrelateEvenPositions(const float* HWY_RESTRICT x, std::size_t count,
                                       const float* HWY_RESTRICT low,
                                       const float* HWY_RESTRICT high, std::size_t taps,
                                       float* HWY_RESTRICT approx, float* HWY_RESTRICT details) {
  const std::size_t length = kTaps != 0 ? kTaps : taps;
  std::size_t j = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> d;
  const std::size_t lanes = hn::Lanes(d);
  for (; j + lanes <= count; j += lanes) {
    // Lane l of `even`/`odd` holds x[2(j + l) + 2i] and x[2(j + l) + 2i + 1]:
    // taps 2i and 2i + 1 of output j + l.
    const float* window = x + 2 * j;
    hn::Vec<decltype(d)> even, odd;
    hn::LoadInterleaved2(d, window, even, odd);
    auto lo = hn::Mul(hn::Set(d, low[0]), even);
    auto hi = hn::Mul(hn::Set(d, high[0]), even);
    lo = hn::MulAdd(hn::Set(d, low[1]), odd, lo);
    hi = hn::MulAdd(hn::Set(d, high[1]), odd, hi);
    for (std::size_t k = 2; k < length; k += 2) {
      hn::LoadInterleaved2(d, window + k, even, odd);
      lo = hn::MulAdd(hn::Set(d, low[k]), even, lo);
      hi = hn::MulAdd(hn::Set(d, high[k]), even, hi);
      lo = hn::MulAdd(hn::Set(d, low[k + 1]), odd, lo);
      hi = hn::MulAdd(hn::Set(d, high[k + 1]), odd, hi);
    }
    hn::StoreU(lo, d, approx + j);
    hn::StoreU(hi, d, details + j);
  }
#endif
  conv::forward_scalar(x + 2 * j, count - j, low, high, length, approx + j, details + j);
}

// Output pairs w < pairs: y[2w + r] accumulates low/high[2i + r] times
// a/d[w + h - i], h = L/2 - 1, in the order of conv::inverse_scalar.
template <std::size_t kTaps>
HWY_INLINE void ReconstructPairs(const float* HWY_RESTRICT a, const float* HWY_RESTRICT d_band,
                                 std::size_t pairs, const float* HWY_RESTRICT low,
                                 const float* HWY_RESTRICT high, std::size_t taps,
                                 float* HWY_RESTRICT y) {
  const std::size_t length = kTaps != 0 ? kTaps : taps;
  std::size_t w = 0;
#if HWY_NATIVE_FMA
  const hn::ScalableTag<float> d;
  const std::size_t lanes = hn::Lanes(d);
  const std::size_t half = length / 2;
  for (; w + lanes <= pairs; w += lanes) {
    hn::Vec<decltype(d)> even, odd;
    hn::LoadInterleaved2(d, y + 2 * w, even, odd);
    for (std::size_t i = 0; i < half; ++i) {
      const std::size_t v = w + half - 1 - i;
      const auto av = hn::LoadU(d, a + v);
      const auto dv = hn::LoadU(d, d_band + v);
      even = hn::MulAdd(hn::Set(d, low[2 * i]), av, even);
      even = hn::MulAdd(hn::Set(d, high[2 * i]), dv, even);
      odd = hn::MulAdd(hn::Set(d, low[2 * i + 1]), av, odd);
      odd = hn::MulAdd(hn::Set(d, high[2 * i + 1]), dv, odd);
    }
    hn::StoreInterleaved2(even, odd, d, y + 2 * w);
  }
#endif
  conv::inverse_scalar(a, d_band, w, pairs, low, high, length, y);
}

// One output of a fixed kernel whose window reaches beyond the signal, its
// samples taken one by one from `at(v)`, the sample at position v of the
// extended signal: no copy of the signal.
template <std::size_t kTaps, class At>
HWY_INLINE void BorderOutput(const At& at, std::size_t m, const float* HWY_RESTRICT low,
                             const float* HWY_RESTRICT high, float* HWY_RESTRICT approx,
                             float* HWY_RESTRICT details) {
  float window[kTaps];
  const std::int64_t first =
      2 * static_cast<std::int64_t>(m) - static_cast<std::int64_t>(kTaps - 2);
  for (std::size_t k = 0; k < kTaps; ++k) window[k] = at(first + static_cast<std::int64_t>(k));
  approx[m] = conv::correlate(low, window, kTaps);
  details[m] = conv::correlate(high, window, kTaps);
}

// Forward step of a fixed kernel: the signal extended by L - 2 samples on the
// left, output m correlating the taps with positions 2m - (L - 2) .. 2m + 1.
// Outputs m < L/2 - 1 reach the left border; the interior ones, whose window
// lies inside x, read x directly; the rest reach the right border.
template <std::size_t kTaps>
HWY_INLINE void FixedTapsForward(BorderMode mode, const float* HWY_RESTRICT low,
                                 const float* HWY_RESTRICT high, const float* HWY_RESTRICT x,
                                 std::size_t n, float* HWY_RESTRICT approx,
                                 float* HWY_RESTRICT details, std::size_t outputs) {
  static_assert(kTaps >= 2 && kTaps % 2 == 0, "orthogonal filters have an even tap count");
  const border_mode::BorderInterpolation border(mode, 0, static_cast<std::int64_t>(n));
  const auto at = [&](std::int64_t v) { return border.sample(x, v); };
  constexpr std::size_t kLeft = kTaps / 2 - 1;
  // Interior outputs: x[2j .. 2j + L) inside x for j = m - kLeft.
  const std::size_t interior = n >= kTaps ? (n - kTaps) / 2 + 1 : 0;
  for (std::size_t m = 0; m < kLeft && m < outputs; ++m) {
    BorderOutput<kTaps>(at, m, low, high, approx, details);
  }
  if (interior != 0) {
    CorrelateEvenPositions<kTaps>(x, interior, low, high, kTaps, approx + kLeft, details + kLeft);
  }
  for (std::size_t m = kLeft + interior; m < outputs; ++m) {
    BorderOutput<kTaps>(at, m, low, high, approx, details);
  }
}

// The same step with x pulled from `source` in order, a chunk at a time, for
// n >= 2L: the interior outputs from a window that slides along x, the
// border outputs last, from copies of the first and the last L samples. The
// border windows reach no further into x than L - 2 samples from either end,
// and for n >= 2L every border rule maps their outside positions there too.
// Every output is the same chain as in FixedTapsForward, so the bits are too.
template <std::size_t kTaps>
HWY_INLINE void FixedTapsForwardFrom(BorderMode mode, const float* HWY_RESTRICT low,
                                     const float* HWY_RESTRICT high, const SampleSource& source,
                                     std::size_t n, float* HWY_RESTRICT approx,
                                     float* HWY_RESTRICT details, std::size_t outputs) {
  constexpr std::size_t kChunk = 1024;        // interior outputs per pull
  constexpr std::size_t kShared = kTaps - 2;  // samples two neighbouring chunks both read
  constexpr std::size_t kLeft = kTaps / 2 - 1;
  HWY_ALIGN float window[2 * kChunk + kShared];
  float ends[2 * kTaps];  // x[0 .. L), then x[n - L .. n)
  const std::size_t tail = n - kTaps;
  std::size_t start = 0;   // the position window[0] holds
  std::size_t pulled = 0;  // the first position not pulled yet
  const auto pull = [&](std::size_t to) {
    source.fill(source.context, pulled, to - pulled, window + (pulled - start));
    for (std::size_t i = pulled; i < std::min(to, kTaps); ++i) ends[i] = window[i - start];
    for (std::size_t i = std::max(pulled, tail); i < to; ++i) {
      ends[i - tail + kTaps] = window[i - start];
    }
    pulled = to;
  };
  const std::size_t interior = (n - kTaps) / 2 + 1;
  for (std::size_t j0 = 0; j0 < interior; j0 += kChunk) {
    const std::size_t j1 = std::min(j0 + kChunk, interior);
    pull(2 * j1 + kShared);
    CorrelateEvenPositions<kTaps>(window + (2 * j0 - start), j1 - j0, low, high, kTaps,
                                  approx + kLeft + j0, details + kLeft + j0);
    std::copy(window + (2 * j1 - start), window + (pulled - start), window);
    start = 2 * j1;
  }
  if (pulled < n) pull(n);  // the last sample for odd n - L, which no interior output reads
  const border_mode::BorderInterpolation border(mode, 0, static_cast<std::int64_t>(n));
  const auto at = [&](std::int64_t v) {
    if (v < 0 || v >= static_cast<std::int64_t>(n)) {
      if (border.is_zeros()) return 0.0f;
      v = border.index(v);
    }
    const auto i = static_cast<std::size_t>(v);
    return i < kTaps ? ends[i] : ends[i - tail + kTaps];
  };
  for (std::size_t m = 0; m < kLeft; ++m) BorderOutput<kTaps>(at, m, low, high, approx, details);
  for (std::size_t m = kLeft + interior; m < outputs; ++m) {
    BorderOutput<kTaps>(at, m, low, high, approx, details);
  }
}

// Output pairs per chunk of a fixed kernel's inverse with pulled bands.
constexpr std::size_t kPulledPairs = 1024;

// The inverse of a fixed kernel, `pairs` output pairs, with both bands
// pulled from their sources in order: pair w reads a and d at w .. w + L/2 -
// 1 only, so the bands slide along in windows and each chunk of pairs is
// computed as ReconstructPairs computes it, into zeros, in `output` or, with
// a sink, in a buffer pushed there. Band sample j is pulled before output
// sample 2(j - L/2 + 1) or any later one is written.
template <std::size_t kTaps>
HWY_INLINE void FixedTapsInversePulled(const SampleSource& approximation,
                                       const SampleSource& details, std::size_t pairs,
                                       const float* HWY_RESTRICT low,
                                       const float* HWY_RESTRICT high, float* output,
                                       const SampleSink* sink) {
  constexpr std::size_t kShared = kTaps / 2 - 1;  // band samples two neighbouring chunks both read
  HWY_ALIGN float a[kPulledPairs + kShared];
  HWY_ALIGN float d[kPulledPairs + kShared];
  HWY_ALIGN float pushed[2 * kPulledPairs];
  std::size_t start = 0;   // the position a[0] and d[0] hold
  std::size_t pulled = 0;  // the first position not pulled yet
  for (std::size_t w0 = 0; w0 < pairs; w0 += kPulledPairs) {
    const std::size_t w1 = std::min(w0 + kPulledPairs, pairs);
    const std::size_t to = w1 + kShared;
    approximation.fill(approximation.context, pulled, to - pulled, a + (pulled - start));
    details.fill(details.context, pulled, to - pulled, d + (pulled - start));
    pulled = to;
    float* y = sink ? pushed : output + 2 * w0;
    std::fill_n(y, 2 * (w1 - w0), 0.0f);
    ReconstructPairs<kTaps>(a, d, w1 - w0, low, high, kTaps, y);
    if (sink) sink->take(sink->context, 2 * w0, 2 * (w1 - w0), y);
    std::copy(a + (w1 - start), a + (pulled - start), a);
    std::copy(d + (w1 - start), d + (pulled - start), d);
    start = w1;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace lumvet
HWY_AFTER_NAMESPACE();

#endif  // include guard

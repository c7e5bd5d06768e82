// The operation order of the convolution transforms, as plain scalar code.
//
// The vector kernels compute every output as the same fixed chain of fused
// multiply-adds on its own lane, vectorising across output positions and
// never across taps, so every target (any vector width, or scalar code on
// targets without a native FMA) gives the same bits. These functions are that
// chain for one output; the kernels use them for tails and border outputs, and
// the tests use them as the reference.
//
// Forward, output m of a correlation with L taps t over the extended signal X:
//   acc = t[0] * X[2m];  acc = fma(t[k], X[2m + k], acc)  for k = 1 .. L - 1.
// Inverse, output pair w (outputs 2w and 2w + 1), h = L/2 - 1, r = 0 or 1:
//   acc = Y[2w + r];
//   for i = 0 .. L/2 - 1, v = w + h - i:
//     acc = fma(low[2i + r], A[v], acc);  acc = fma(high[2i + r], D[v], acc);
//   Y[2w + r] = acc.
// The inverse gathers, per output, exactly the contributions that the
// transposed correlation scatters onto it; every output position of
// 0 .. 2a - L + 1 receives all of its L/2 coefficient pairs, so the inverse has
// no border cases.
#pragma once

#include <cmath>
#include <cstddef>

namespace lumvet::conv {

inline float correlate(const float* taps, const float* window, std::size_t length) {
  float acc = taps[0] * window[0];
  for (std::size_t k = 1; k < length; ++k) acc = std::fma(taps[k], window[k], acc);
  return acc;
}

// approx[j], details[j] for j < count, output j reading X[2j .. 2j + L).
inline void forward_scalar(const float* x, std::size_t count, const float* low, const float* high,
                           std::size_t length, float* approx, float* details) {
  for (std::size_t j = 0; j < count; ++j) {
    approx[j] = correlate(low, x + 2 * j, length);
    details[j] = correlate(high, x + 2 * j, length);
  }
}

// Output pairs w in [w_begin, w_end): y[2w], y[2w + 1] accumulate the
// coefficients a[w + h - i], d[w + h - i].
inline void inverse_scalar(const float* a, const float* d, std::size_t w_begin, std::size_t w_end,
                           const float* low, const float* high, std::size_t length, float* y) {
  const std::size_t half = length / 2;
  for (std::size_t w = w_begin; w < w_end; ++w) {
    for (std::size_t r = 0; r < 2; ++r) {
      float acc = y[2 * w + r];
      for (std::size_t i = 0; i < half; ++i) {
        const std::size_t v = w + half - 1 - i;
        acc = std::fma(low[2 * i + r], a[v], acc);
        acc = std::fma(high[2 * i + r], d[v], acc);
      }
      y[2 * w + r] = acc;
    }
  }
}

}  // namespace lumvet::conv

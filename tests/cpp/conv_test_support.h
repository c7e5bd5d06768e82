// Shared helpers of the convolution tests: executors built straight from
// taps and an independent scalar reference (the loop over Highway targets
// and the bit comparison are lumvet_test_util.h's).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lumvet/lumvet.h"
#include "lumvet/neon/wavelet10taps_f32.h"
#include "lumvet/neon/wavelet12taps_f32.h"
#include "lumvet/neon/wavelet16taps_f32.h"
#include "lumvet/neon/wavelet2taps.h"
#include "lumvet/neon/wavelet4taps_f32.h"
#include "lumvet/neon/wavelet6taps_f32.h"
#include "lumvet/neon/wavelet8taps_f32.h"
#include "lumvet/neon/wavelet_n_taps_f32.h"
#include "lumvet/util.h"
#include "lumvet_test_util.h"

namespace lumvet::testing_support {

using testing_util::first_bit_difference;
using testing_util::for_each_target;

inline constexpr BorderMode kAllModes[] = {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect,
                                           BorderMode::Reflect101, BorderMode::Zeros};

inline std::string mode_name(BorderMode mode) {
  switch (mode) {
    case BorderMode::Clamp:
      return "Clamp";
    case BorderMode::Wrap:
      return "Wrap";
    case BorderMode::Reflect:
      return "Reflect";
    case BorderMode::Reflect101:
      return "Reflect101";
    case BorderMode::Zeros:
      return "Zeros";
  }
  return "?";
}

inline bool has_fixed_kernel(std::size_t taps) {
  return taps == 2 || taps == 4 || taps == 6 || taps == 8 || taps == 10 || taps == 12 || taps == 16;
}

template <class Kernel, std::size_t kSlots>
IncompleteDwtExecutorHandle fixed_from(BorderMode mode, const std::vector<float>& taps) {
  std::array<float, kSlots> low{}, high{};
  const auto mirrored = low_pass_to_high(taps);
  std::copy(taps.begin(), taps.end(), low.begin());
  std::copy(mirrored.begin(), mirrored.end(), high.begin());
  return std::make_shared<Kernel>(mode, low, high);
}

// The fixed-tap kernel for taps.size(), filled as the factory fills it.
inline IncompleteDwtExecutorHandle make_fixed(BorderMode mode, const std::vector<float>& t) {
  switch (t.size()) {
    case 2:
      return std::make_shared<NeonWavelet2TapsF32>(mode,
                                                   std::array<float, 4>{t[0], t[1], t[0], t[1]},
                                                   std::array<float, 4>{t[1], -t[0], t[1], -t[0]});
    case 4:
      return fixed_from<NeonWavelet4TapsF32, 4>(mode, t);
    case 6:
      return fixed_from<NeonWavelet6TapsF32, 8>(mode, t);
    case 8:
      return fixed_from<NeonWavelet8TapsF32, 8>(mode, t);
    case 10: {
      std::array<float, 10> ten{};
      std::copy(t.begin(), t.end(), ten.begin());
      return std::make_shared<NeonWavelet10TapsF32>(mode, ten);
    }
    case 12:
      return fixed_from<NeonWavelet12TapsF32, 12>(mode, t);
    case 16:
      return fixed_from<NeonWavelet16TapsF32, 16>(mode, t);
    default:
      return nullptr;
  }
}

inline IncompleteDwtExecutorHandle make_n_taps(BorderMode mode, const std::vector<float>& t) {
  return std::make_shared<NeonWaveletNTapsF32>(mode, t);
}

// Every executor for the taps: the N-tap one, then the fixed-tap one where
// there is one.
inline std::vector<IncompleteDwtExecutorHandle> conv_executors(BorderMode mode,
                                                               const std::vector<float>& t) {
  std::vector<IncompleteDwtExecutorHandle> executors = {make_n_taps(mode, t)};
  if (has_fixed_kernel(t.size())) executors.push_back(make_fixed(mode, t));
  return executors;
}

inline std::vector<float> test_signal(std::size_t n, std::uint32_t seed) {
  std::vector<float> x(n);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    x[i] = 0.7f * std::sin(0.05f * static_cast<float>(i)) + noise;
  }
  return x;
}

// Border sample by the plain definitions (hardware division).
inline float reference_sample(const std::vector<float>& x, std::int64_t v, BorderMode mode) {
  const auto n = static_cast<std::int64_t>(x.size());
  if (v >= 0 && v < n) return x[static_cast<std::size_t>(v)];
  auto mod = [](std::int64_t a, std::int64_t b) { return ((a % b) + b) % b; };
  std::int64_t idx = 0;
  switch (mode) {
    case BorderMode::Clamp:
      idx = std::min(n - 1, std::max<std::int64_t>(0, v));
      break;
    case BorderMode::Wrap:
      idx = mod(v, n);
      break;
    case BorderMode::Reflect:
      idx = v < 0 ? mod(-v - 1, n) : n - 1 - mod(v - n, n);
      break;
    case BorderMode::Reflect101:
      idx = n == 1 ? 0 : (v < 0 ? mod(-v - 1, n - 1) : mod(2 * n - 3 - v, n - 1)) + 1;
      break;
    case BorderMode::Zeros:
      return 0.0f;
  }
  return x[static_cast<std::size_t>(idx)];
}

struct Bands {
  std::vector<float> approximation, details;
};

// Forward step in the documented order: acc = t0 * X0, then fma for k >= 1.
inline Bands reference_forward(const std::vector<float>& x, const std::vector<float>& low,
                               BorderMode mode) {
  const std::vector<float> high = low_pass_to_high(low);
  const std::size_t taps = low.size();
  const std::size_t outputs = (x.size() + taps - 1) / 2;
  Bands bands{std::vector<float>(outputs), std::vector<float>(outputs)};
  for (std::size_t m = 0; m < outputs; ++m) {
    const std::int64_t first =
        2 * static_cast<std::int64_t>(m) - static_cast<std::int64_t>(taps - 2);
    float lo = 0, hi = 0;
    for (std::size_t k = 0; k < taps; ++k) {
      const float s = reference_sample(x, first + static_cast<std::int64_t>(k), mode);
      lo = k == 0 ? low[0] * s : std::fma(low[k], s, lo);
      hi = k == 0 ? high[0] * s : std::fma(high[k], s, hi);
    }
    bands.approximation[m] = lo;
    bands.details[m] = hi;
  }
  return bands;
}

// Inverse step in the documented order, accumulating into y: output p gathers
// the coefficients v = p/2 + L/2 - 1 - i with taps 2i + p%2, i ascending.
inline void reference_inverse(const Bands& bands, const std::vector<float>& low,
                              std::vector<float>& y) {
  const std::vector<float> high = low_pass_to_high(low);
  const std::size_t half = low.size() / 2;
  for (std::size_t p = 0; p < y.size(); ++p) {
    float acc = y[p];
    for (std::size_t i = 0; i < half; ++i) {
      const std::size_t v = p / 2 + half - 1 - i;
      const std::size_t k = 2 * i + p % 2;
      acc = std::fma(low[k], bands.approximation[v], acc);
      acc = std::fma(high[k], bands.details[v], acc);
    }
    y[p] = acc;
  }
}

// The inverse as the transposed correlation, scattered in double precision:
// Y[p] += low[k] A[v] + high[k] D[v] with p = 2v - (L - 2) + k inside Y.
inline std::vector<double> scatter_inverse(const Bands& bands, const std::vector<float>& low,
                                           std::size_t out_length) {
  const std::vector<float> high = low_pass_to_high(low);
  const auto taps = static_cast<std::int64_t>(low.size());
  std::vector<double> y(out_length, 0.0);
  for (std::size_t v = 0; v < bands.approximation.size(); ++v) {
    for (std::int64_t k = 0; k < taps; ++k) {
      const std::int64_t p = 2 * static_cast<std::int64_t>(v) - (taps - 2) + k;
      if (p < 0 || p >= static_cast<std::int64_t>(out_length)) continue;
      y[static_cast<std::size_t>(p)] +=
          static_cast<double>(low[static_cast<std::size_t>(k)]) * bands.approximation[v] +
          static_cast<double>(high[static_cast<std::size_t>(k)]) * bands.details[v];
    }
  }
  return y;
}

}  // namespace lumvet::testing_support

// How far a decoded sample may lie from its input: the error bound of a
// compress → decompress round trip, shared by the round-trip tests and the
// round-trip fuzz check.
//
// Let c be the wavelet coefficients of the normalised signal and ĉ the
// dequantised ones. Quantisation truncates c · 2^s toward zero (an exact
// product: a power-of-two scaling), so a kept coefficient is off by less than
// δ = 2^-s; a detail zeroed by the cut-off had |c · 2^s| < T, so details are
// off by less than δ_D = max(1, T) · δ. The inverse transform is linear: one
// level turns an approximation error bounded by E and a detail error bounded
// by δ_D into an output error of at most α · E + β · δ_D, with α and β the
// largest absolute row sums of the level's synthesis from each band. From
// E_L = δ at the coarsest level, E_(k-1) = α E_k + β δ_D gives E_0 in the
// normalised domain. Float32 arithmetic in the forward and inverse transforms
// adds a little; denormalising multiplies by the range r = max - min and adds
// the rounding of the normalisation and of the final multiply-add, a few
// units of 2^-24 relative to r and to |x|.
//
// The bound assumes no coefficient saturated at the 16-bit limits; compress()
// refuses a signal whose coefficients would.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "quarnel/band_layout.h"
#include "quarnel/compressor.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"

namespace quarnel::testing {

struct LevelGains {
  double approximation = 0.0;  // α
  double details = 0.0;        // β
};

// α and β measured from impulse responses of the executor itself, over every
// length up to 64 (both borders meet in the short ones, and the CDF 9/7
// even update changes at lengths of 32 and more with length mod 32 in
// {0, 1, 2}) and a few long ones of both parities. The codec transforms
// levels shorter than the filter (CDF 9/7 reaches 8 samples), so the short
// lengths count. A length the executor refuses cannot occur in a stream.
inline LevelGains measure_gains(WaveletMethod method) {
  const auto executor = make_executor(method);
  std::vector<std::size_t> lengths;
  for (std::size_t m = 2; m <= 64; ++m) lengths.push_back(m);
  for (const std::size_t m : {100, 101, 128, 255, 256, 1001}) lengths.push_back(m);
  LevelGains gains;
  for (const std::size_t m : lengths) {
    const lumvet::DwtSize size = executor->dwt_size(m);
    for (int band = 0; band < 2; ++band) {
      const std::size_t count = band == 0 ? size.approximation_length : size.details_length;
      std::vector<double> rows;
      for (std::size_t j = 0; j < count; ++j) {
        std::vector<float> a(size.approximation_length, 0.0f), d(size.details_length, 0.0f);
        (band == 0 ? a : d)[j] = 1.0f;
        const auto out = executor->idwt({a, d});
        if (!out) break;
        rows.resize(std::max(rows.size(), out->size()), 0.0);
        for (std::size_t i = 0; i < out->size(); ++i) rows[i] += std::fabs((*out)[i]);
      }
      if (rows.empty()) continue;
      double& gain = band == 0 ? gains.approximation : gains.details;
      gain = std::max(gain, *std::max_element(rows.begin(), rows.end()));
    }
  }
  return gains;
}

inline const LevelGains& gains_of(WaveletMethod method) {
  static const std::array<LevelGains, 4> gains = {
      measure_gains(WaveletMethod::cdf53), measure_gains(WaveletMethod::cdf97),
      measure_gains(WaveletMethod::db4), measure_gains(WaveletMethod::sym4)};
  return gains[static_cast<std::size_t>(method)];
}

// E_0: the bound in the normalised domain.
inline double normalised_bound(WaveletMethod method, unsigned levels, std::uint8_t scale,
                               int threshold) {
  const LevelGains& g = gains_of(method);
  const double step = std::ldexp(1.0, -scale);
  const double detail_step = std::max(1, threshold) * step;
  double e = step;
  for (unsigned k = 0; k < levels; ++k) e = g.approximation * e + g.details * detail_step;
  return e;
}

// Float32 rounding in the forward and inverse transforms of values of
// magnitude at most ~16 over at most eight levels, in the normalised domain.
inline constexpr double kFloatSlack = 2e-5;

// The largest |decoded - sanitised input| a stream written with `options`
// and carrying `header` allows.
inline double roundtrip_bound(const CompressionOptions& options, const QuarnelHeader& header) {
  const double lo = header.min_value;
  const double hi = header.max_value;
  const double range = hi - lo;
  if (range <= 1e-5) return range;  // flat: every sample comes back as the minimum
  const int t = detail_threshold(options.scale, options.cutoff);
  return range * (normalised_bound(options.method, header.levels, options.scale, t) +
                  kFloatSlack + std::ldexp(1.0, -21)) +
         std::ldexp(std::max(std::fabs(lo), std::fabs(hi)), -23);
}

// What the decoder reproduces of an input sample: NaN as 0, +inf as 1,
// -inf as 0.
inline float sanitised(float x) {
  if (std::isnan(x)) return 0.0f;
  if (std::isinf(x)) return x > 0 ? 1.0f : 0.0f;
  return x;
}

}  // namespace quarnel::testing

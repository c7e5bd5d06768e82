#include "fuzz/fuzz_checks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/compressor.h"
#include "quarnel/header.h"
#include "quarnel/quarnel.h"

namespace quarnel::fuzz {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bodies that decode to more than this are not coded back: the encoder keeps
// 64 bytes of working memory per plane byte.
constexpr std::size_t kReencodeLimit = std::size_t{1} << 20;

// --- the error bound of a round trip -----------------------------------------
//
// Let c be the wavelet coefficients of the normalised signal and ĉ the
// dequantised ones. Quantisation truncates c · 2^s toward zero (an exact
// product: a power-of-two scaling), so a kept coefficient is off by less than
// δ = 2^-s; a detail zeroed by the cut-off had |c · 2^s| < T, so details are
// off by less than δ_D = max(1, T) · δ. The inverse transform is linear: one
// level turns an approximation error bounded by E and a detail error bounded
// by δ_D into an output error of at most α · E + β · δ_D, with α and β the
// largest absolute row sums of the level's synthesis from each band. They
// are measured from impulse responses of the executor itself, over every
// short length (both borders meet there) and a few long ones of both
// parities. From E_L = δ at the coarsest level, E_(k-1) = α E_k + β δ_D.

struct LevelGains {
  double approximation = 0.0;  // α
  double details = 0.0;        // β
};

LevelGains measure_gains(WaveletMethod method) {
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
        if (!out) break;  // a length this executor does not transform
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

const LevelGains& gains_of(WaveletMethod method) {
  static const std::array<LevelGains, 4> gains = {
      measure_gains(WaveletMethod::cdf53), measure_gains(WaveletMethod::cdf97),
      measure_gains(WaveletMethod::db4), measure_gains(WaveletMethod::sym4)};
  return gains[static_cast<std::size_t>(method)];
}

// E_0: the bound in the normalised domain.
double normalised_bound(WaveletMethod method, unsigned levels, std::uint8_t scale, int threshold) {
  const LevelGains& g = gains_of(method);
  const double step = std::ldexp(1.0, -scale);
  const double detail_step = std::max(1, threshold) * step;
  double e = step;
  for (unsigned k = 0; k < levels; ++k) e = g.approximation * e + g.details * detail_step;
  return e;
}

// Float32 rounding in the forward and inverse transforms of values of
// magnitude at most ~16 over at most eight levels, in the normalised domain.
constexpr double kFloatSlack = 2e-5;

float sanitised(float x) {
  if (std::isnan(x)) return 0.0f;
  if (std::isinf(x)) return x > 0 ? 1.0f : 0.0f;
  return x;
}

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

std::string describe(const CompressionOptions& o, std::size_t n) {
  return "method " + std::to_string(static_cast<int>(o.method)) + " scale " +
         std::to_string(o.scale) + " cutoff " + std::to_string(static_cast<int>(o.cutoff)) +
         " coder " + std::to_string(static_cast<int>(o.coder)) + " n " + std::to_string(n);
}

}  // namespace

std::string check_decompress(std::span<const std::uint8_t> input) {
  const auto samples = decompress(input);
  if (!samples) {
    if (samples.error().message().empty()) return "an error with an empty message";
    return {};
  }
  const auto header = QuarnelHeader::from_bytes(input);
  if (!header) return "decompress accepted a stream whose header from_bytes refuses";
  if (samples->size() != header->sample_count) {
    return "decompress returned " + std::to_string(samples->size()) + " samples, the header says " +
           std::to_string(header->sample_count);
  }
  return {};
}

std::string check_decode_stream(std::span<const std::uint8_t> input) {
  const auto decoded = decode_stream(input);
  if (!decoded) return {};
  const std::size_t n = input.size();
  if (n < 6) {
    if (!std::equal(decoded->begin(), decoded->end(), input.begin(), input.end())) {
      return "a raw body of " + std::to_string(n) + " bytes did not come back unchanged";
    }
    return {};
  }
  std::size_t position = 2;
  const auto pair_count = rv(input, position);
  if (!pair_count) return "decode_stream accepted a body whose pair count rv refuses";
  const std::size_t odd = input[0] & 1;
  if (decoded->size() != 2 * *pair_count + odd) {
    return "decoded " + std::to_string(decoded->size()) + " bytes for a pair count of " +
           std::to_string(*pair_count);
  }
  if (odd && decoded->back() != input.back()) return "the trailing byte was not the body's last";
  if (decoded->size() <= kReencodeLimit) {
    const auto again = decode_stream(encode_stream(*decoded));
    if (!again || *again != *decoded) return "decoded bytes do not survive encode then decode";
  }
  return {};
}

std::string check_header(std::span<const std::uint8_t> input) {
  const auto header = QuarnelHeader::from_bytes(input);
  if (!header) {
    if (input.size() < kHeaderSize && header.error().kind() != QuarnelErrorKind::InvalidHeader) {
      return "a short input gave " + header.error().message();
    }
    return {};
  }
  if (input.size() < kHeaderSize) return "from_bytes accepted fewer than 52 bytes";
  const auto written = header->to_bytes();
  if (!std::equal(written.begin(), written.end(), input.begin())) {
    return "an accepted header does not write back to its own bytes";
  }
  return {};
}

std::string check_roundtrip(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {};
  CompressionOptions options;
  options.method = static_cast<WaveletMethod>(input[0] % 4);
  options.scale = static_cast<std::uint8_t>(6 + input[1] % 7);
  options.cutoff = static_cast<CutoffLevel>(input[2] % 3);
  options.coder = static_cast<CoderChoice>(input[3] % 3);
  std::vector<float> x((input.size() - 4) / sizeof(float));
  if (!x.empty()) std::memcpy(x.data(), input.data() + 4, x.size() * sizeof(float));
  const std::string what = describe(options, x.size());

  const auto stream = compress(x, options);
  if (!stream) {
    // Empty signals, ranges beyond the largest float and coefficients that do
    // not fit 16 bits at this scale are refused; nothing else may fail.
    if (stream.error().kind() != QuarnelErrorKind::UnsupportedConfiguration) {
      return what + ": compress failed with " + stream.error().message();
    }
    return {};
  }
  if (x.empty()) return what + ": an empty signal was compressed";
  const auto again = compress(x, options);
  if (!again || *again != *stream) return what + ": a second compress gave other bytes";

  const auto header = QuarnelHeader::from_bytes(*stream);
  if (!header) return what + ": the stream's header is refused: " + header.error().message();
  if (stream->size() != kHeaderSize + header->payload_length) {
    return what + ": the stream is not 52 + payload_length bytes";
  }
  const auto y = decompress(*stream);
  if (!y) return what + ": decompress failed with " + y.error().message();
  if (y->size() != x.size()) {
    return what + ": " + std::to_string(y->size()) + " samples came back";
  }

  const double lo = header->min_value;
  const double hi = header->max_value;
  const double range = hi - lo;
  double bound;
  if (range <= 1e-5) {
    bound = range;  // flat: every sample comes back as the minimum
  } else {
    const int t = detail_threshold(options.scale, options.cutoff);
    bound = range * (normalised_bound(options.method, header->levels, options.scale, t) +
                     kFloatSlack + std::ldexp(1.0, -21)) +
            std::ldexp(std::max(std::fabs(lo), std::fabs(hi)), -23);
  }
  constexpr double kLargest = std::numeric_limits<float>::max();
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double want = sanitised(x[i]);
    const double got = (*y)[i];
    if (std::isnan(got)) return what + ": sample " + std::to_string(i) + " came back NaN";
    // Near the largest float the exact result may round to infinity.
    if (std::isinf(got) && (got > 0 ? want : -want) + bound >= kLargest) continue;
    if (!(std::fabs(got - want) <= bound)) {
      return what + ": sample " + std::to_string(i) + " is " + num(got) + " for " + num(want) +
             ", off by more than " + num(bound);
    }
  }
  return {};
}

}  // namespace quarnel::fuzz

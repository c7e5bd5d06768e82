// A candidate quantised as the stream would store it: the header that holds
// its step, each coefficient pulled through the quantiser as the inverse
// transform asks for it, the decode measured as it is pushed out, and the
// chosen candidate's coefficient bytes.
#include "quarnel/bounded/candidate_decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "quarnel/reconstruct.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

// The header's scale and stored range for a step: the stored range is the
// step times 2^scale; the smallest scale that keeps it at least the signal's
// range keeps it within twice that where it can, and steps finer than 2^-12
// store a narrower range (the decoder maps the normalised signal through the
// stored range without clamping, so the header's bounds need not hold the
// signal). Near the float32 limit the stored range stops where the decoder's
// max - min would overflow, and the step comes out finer than asked. Returns
// false when no finite header holds the signal.
bool place_step(const Signal& s, double step, QuarnelHeader& h) {
  int scale = kMinScale;
  while (scale < kMaxScale && step * std::ldexp(1.0, scale) < 1.0) ++scale;
  const double stored = step * std::ldexp(1.0, scale) * s.range;
  const double largest = std::numeric_limits<float>::max();
  float max_value = static_cast<float>(std::min(static_cast<double>(s.lo) + stored, largest));
  if (!std::isfinite(max_value - s.lo)) {
    // Only below a negative min: keep max - min a float.
    max_value = static_cast<float>(largest + s.lo);
    while (!std::isfinite(max_value - s.lo)) max_value = std::nextafter(max_value, 0.0f);
  }
  h.scale = static_cast<std::uint8_t>(scale);
  h.min_value = s.lo;
  h.max_value = max_value;
  return std::isfinite(max_value) && std::isfinite(max_value - s.lo);
}

// One coefficient as the stream stores it, `gain` turning it into steps,
// clamped to 16 bits.
std::int32_t quantised(float coefficient, double gain, Quantiser quantiser) {
  const double scaled = static_cast<double>(coefficient) * gain;
  const double m = std::abs(scaled);
  // floor() by truncation, which is no library call: m + offset is not
  // negative, and from 2^16 on the value is clamped whatever its fraction.
  const double r = m + quantiser.offset;
  const auto whole = static_cast<std::int32_t>(r < 65536.0 ? r : 65536.0);
  // Masks rather than branches: a value falls in the dead zone, and is
  // negative, about as often as not.
  const std::int32_t kept = -static_cast<std::int32_t>(m >= quantiser.threshold);
  const std::int32_t negative = -static_cast<std::int32_t>(scaled < 0.0);
  const std::int32_t q = std::max(whole, 1) & kept;
  return (std::min(q, 32767) & ~negative) | (-std::min(q, 32768) & negative);
}

// Nothing when no finite header holds the signal, or when a coefficient would
// not fit 16 bits: the largest magnitude of each band quantises to the
// largest integer, as quantisation keeps the order of magnitudes.
std::optional<Quantisation> quantisation(const Signal& s, const Decomposition& d,
                                         const Candidate& c) {
  Quantisation q;
  QuarnelHeader& h = q.header;
  h.method_tag = method_tag(d.method);
  h.levels = static_cast<std::uint8_t>(c.levels);
  h.sample_count = static_cast<std::uint32_t>(s.samples.size());
  q.layout = band_layout(*d.executor, s.samples.size(), static_cast<unsigned>(c.levels));
  if (s.range == 0.0) {
    // Every sample is lo: all coefficients 0 and no range rebuild it exactly.
    h.scale = kMaxScale;
    h.min_value = h.max_value = s.lo;
    h.mean_value = 0.0f;
    return q;
  }
  if (!place_step(s, c.step, h)) return std::nullopt;
  // The decoder rebuilds (idwt(q 2^-scale) + mean) * stored + lo, with
  // stored its own float difference of the header's bounds.
  const double stored = static_cast<double>(h.max_value - h.min_value);
  const double shrink = s.range / stored;
  h.mean_value = static_cast<float>(s.mean * shrink);
  q.gain = shrink * std::ldexp(1.0, h.scale);
  const auto fits = [&](const BandStatistics& band, Quantiser quantiser) {
    return std::abs(quantised(band.max_abs(), q.gain, quantiser)) <= 32767;
  };
  bool all_fit = fits(d.approximations[c.levels - 1], c.quantisers[0]);
  for (std::size_t k = 0; k < c.levels; ++k) all_fit &= fits(d.details[k], c.quantisers[k + 1]);
  if (!all_fit) return std::nullopt;
  return q;
}

// Coefficients to the values the decoder makes of their bytes. Where the
// processor may have AVX2 or AVX-512, a copy is built for each, in which the
// loop vectorises; all give the same values, every operation being exact or
// correctly rounded. (Not under ThreadSanitizer, as in reconstruct.cc.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void dequantised(const float* coefficients, std::size_t count, double gain, Quantiser quantiser,
                 float factor, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<float>(quantised(coefficients[i], gain, quantiser)) * factor;
  }
}

// A band into the coefficient byte string, as signed 16-bit little-endian
// integers. Cloned as dequantised() is; the loop vectorises with whole
// 16-bit stores.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void quantised_bytes(const float* __restrict band, std::size_t count, double gain,
                     Quantiser quantiser, std::uint8_t* __restrict out) {
  for (std::size_t i = 0; i < count; ++i) {
    auto u = static_cast<std::uint16_t>(quantised(band[i], gain, quantiser));
    if constexpr (std::endian::native == std::endian::big) u = std::byteswap(u);
    std::memcpy(out + 2 * i, &u, sizeof u);
  }
}

// A band quantised and dequantised as the inverse transform pulls it.
struct QuantisedBand {
  const float* coefficients;
  double gain;
  Quantiser quantiser;
  float factor;  // 2^-scale

  static void fill(void* context, std::size_t from, std::size_t count, float* out) {
    const auto& self = *static_cast<const QuantisedBand*>(context);
    dequantised(self.coefficients + from, count, self.gain, self.quantiser, self.factor, out);
  }
};

// Where a candidate's decode goes as the inverse transform pushes it: each
// piece made the decoder's samples, as reconstruct() finishes them, and
// handed on while it is in the cache. Samples past the signal's are cut.
struct PushedDecode {
  const QuarnelHeader& header;
  const DecodedSink& take;
  std::size_t length;  // the signal's

  static void push(void* context, std::size_t from, std::size_t count, const float* samples) {
    auto& self = *static_cast<PushedDecode*>(context);
    const QuarnelHeader& h = self.header;
    std::array<float, 2048> piece;
    const std::size_t end = std::min(from + count, self.length);
    for (std::size_t at = from; at < end; at += piece.size()) {
      const auto decoded = std::span(piece).first(std::min(piece.size(), end - at));
      std::copy_n(samples + (at - from), decoded.size(), decoded.data());
      denormalise(decoded, h.min_value, h.max_value, h.mean_value);
      self.take(at, decoded);
    }
  }
};

// What the candidate's stream decodes to, measured as it is made, and
// handed on to `also` when there is one.
std::expected<Achieved, QuarnelError> achieved_by(const Signal& s, const Decomposition& d,
                                                  const Coefficients& coefficients,
                                                  const Candidate& c, const Quantisation& q,
                                                  bool with_rms, const DecodedSink* also) {
  Measure measure(s, with_rms);
  QUARNEL_TRY(
      decode(s, d, coefficients, c, q, [&](std::size_t from, std::span<const float> decoded) {
        measure.add(decoded);
        if (also) (*also)(from, decoded);
      }));
  return measure.result();
}

}  // namespace

std::expected<void, QuarnelError> decode(const Signal& s, const Decomposition& d,
                                         const Coefficients& coefficients, const Candidate& c,
                                         const Quantisation& q, const DecodedSink& take) {
  const float factor = std::ldexp(1.0f, -static_cast<int>(q.header.scale));
  std::vector<QuantisedBand> sources;
  sources.reserve(c.levels + 1);  // the band sources point into it
  const auto band_of = [&](std::span<const float> band, Quantiser quantiser) {
    sources.push_back({band.data(), q.gain, quantiser, factor});
    return lumvet::BandSource{{&QuantisedBand::fill, &sources.back()}, band.size()};
  };
  const Bands& bands = coefficients.bands;
  lumvet::MultiDwtSource pulled;
  pulled.approximation = band_of(bands.approximation, c.quantisers[0]);
  for (std::size_t k = 0; k < c.levels; ++k) {
    pulled.details.push_back(band_of(bands.details[k], c.quantisers[k + 1]));
  }
  const std::size_t n = s.samples.size();
  std::size_t made = 0;
  const DecodedSink counted = [&](std::size_t from, std::span<const float> decoded) {
    take(from, decoded);
    made = from + decoded.size();
  };
  PushedDecode pushed{q.header, counted, n};
  QUARNEL_TRY(
      inverse_transform_to(*d.executor, pulled, coefficients.work, {&PushedDecode::push, &pushed}));
  // Any samples the transform lacks are 0, as in reconstruct().
  constexpr std::array<float, 256> kZeros{};
  for (; made < n; made += std::min(kZeros.size(), n - made)) {
    take(made, std::span(kZeros).first(std::min(kZeros.size(), n - made)));
  }
  return {};
}

Built write(const Decomposition& d, const Coefficients& coefficients, const Candidate& c,
            Quantisation q, const Achieved& achieved) {
  Built b{d.method, q.header, std::move(q.layout), {}, achieved};
  const std::size_t size = 2 * b.layout.coefficient_count();
  std::span<std::uint8_t> bytes;
  if (coefficients.work.size_bytes() >= size) {
    bytes = {reinterpret_cast<std::uint8_t*>(coefficients.work.data()), size};
    b.storage = std::span<const std::uint8_t>(bytes);
  } else {
    auto& own = b.storage.emplace<std::vector<std::uint8_t>>(size);
    bytes = own;
  }
  std::size_t at = 0;
  const auto quantise_into = [&](std::span<const float> band, Quantiser quantiser) {
    quantised_bytes(band.data(), band.size(), q.gain, quantiser, bytes.data() + at);
    at += 2 * band.size();
  };
  const Bands& bands = coefficients.bands;
  quantise_into(bands.approximation, c.quantisers[0]);
  for (std::size_t k = 0; k < c.levels; ++k) quantise_into(bands.details[k], c.quantisers[k + 1]);
  return b;
}

std::expected<std::optional<Measured>, QuarnelError> measured(const Signal& s,
                                                              const Decomposition& d,
                                                              const Coefficients& coefficients,
                                                              const Candidate& c, bool with_rms,
                                                              const DecodedSink* also) {
  auto q = quantisation(s, d, c);
  if (!q) return std::optional<Measured>();
  QUARNEL_TRY_ASSIGN(achieved, achieved_by(s, d, coefficients, c, *q, with_rms, also));
  return std::optional<Measured>(Measured{std::move(*q), achieved});
}

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

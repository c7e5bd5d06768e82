// The error-bounded encoder: compress_bounded(), declared in quarnel/quarnel.h.
//
// Outline. The normalised signal is transformed once per wavelet, to as
// many levels as the band table allows. Each band is summarised by a
// histogram of magnitudes (band_statistics.h) as it is made, and dropped:
// from the histograms the bits and the error of any step and dead zone are
// estimated without touching the coefficients again. The estimates pick the
// wavelet, the level count, the step and a dead zone per band. Only that
// wavelet is transformed again, to that level count, and its candidates are
// decoded exactly as the decompressor decodes, the inverse transform pulling
// each coefficient through the quantiser, so that no candidate's bytes are
// written: its real error is measured and the step corrected by a few secant
// steps. Only the final candidate is written and meets an entropy coder.
// Where the estimates miss, the whole space is decoded instead (exhaust())
// and each stream that meets the target is coded, the smallest kept.
//
// Memory: every transform works in one arena as long as the signal's
// samples (Arena), allocated once. The normalised signal is made as the first
// level pulls it and a candidate's decode measured as the inverse transform
// pushes it, so neither is ever held whole: at most the arena and the
// decoded wavelet's coarser bands, half as much again, are held at a time.
//
// The stages, each in its own file of this folder: signal_scan (the range,
// the mean, the normalised signal), error_measure, target_bounds,
// decomposition, candidate_estimate, candidate_decode, step_search,
// coder_trial and exhaustive_search. This file checks the arguments and runs
// the stages in turn.
#include "quarnel/bounded/bounded.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "quarnel/bounded/candidate_decode.h"
#include "quarnel/bounded/candidate_estimate.h"
#include "quarnel/bounded/coder_trial.h"
#include "quarnel/bounded/decomposition.h"
#include "quarnel/bounded/error_measure.h"
#include "quarnel/bounded/exhaustive_search.h"
#include "quarnel/bounded/signal_scan.h"
#include "quarnel/bounded/step_search.h"
#include "quarnel/bounded/target_bounds.h"
#include "quarnel/compressor.h"
#include "quarnel/decompressor.h"
#include "quarnel/quarnel.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

// The checks both overloads make before reading a sample: compress()'s on the
// length, with its messages, then the options.
std::expected<void, QuarnelError> check_arguments(std::size_t sample_count,
                                                  const BoundedOptions& options) {
  CompressionOptions plain;
  plain.coder = CoderChoice::deflate;  // the rANS limit is checked on the real layout
  QUARNEL_TRY(check_compressible(sample_count, plain));
  if (options.method && method_name(*options.method).empty()) {
    return std::unexpected(QuarnelError::unsupported_configuration(
        "Unknown method " + std::to_string(static_cast<unsigned>(*options.method))));
  }
  if (coder_name(options.coder).empty()) {
    return std::unexpected(QuarnelError::unsupported_configuration(
        "Unknown coder " + std::to_string(static_cast<unsigned>(options.coder))));
  }
  return check_deflate_level(options.deflate_level);
}

// The largest of n Gaussian errors is about this many RMS errors: where the
// target is the largest error, the estimates aim at the RMS error it implies,
// and the decodes correct the rest.
double gaussian_peak(std::size_t n) {
  return std::sqrt(2.0 * std::log(static_cast<double>(std::max<std::size_t>(n, 3))));
}

// The wavelets the search tries: the one asked for, or all four.
std::vector<WaveletMethod> allowed_methods(const BoundedOptions& options) {
  if (options.method) return {*options.method};
  return {WaveletMethod::cdf97, WaveletMethod::cdf53, WaveletMethod::db4, WaveletMethod::sym4};
}

// What the estimates aim at.
struct Aim {
  bool dead_zones = false;
  double mean_square = 0.0;  // in units of the range squared
};

// The largest error is not a sum of band errors: aim the estimate at the
// RMS error a Gaussian error of that peak would have, then let the decodes
// correct it. Dead zones only pay where the RMS error is the target: they
// zero values up to more than half a step, which the largest error feels.
Aim aim_of(const Signal& s, const Target& t) {
  const bool dead_zones = t.kind == ErrorTarget::psnr;
  const double aim = dead_zones ? t.rms_error : t.max_error / gaussian_peak(s.finite);
  return {dead_zones, s.range > 0.0 ? (aim / s.range) * (aim / s.range) : 0.0};
}

// One arena for the whole search, as long as the longest wavelet tried needs.
Arena arena_for(const Signal& s, std::span<const WaveletMethod> methods) {
  std::array<std::size_t, 2> lengths{};
  for (const WaveletMethod method : methods) {
    const auto needed = arena_lengths(s, plan(s, method));
    lengths = {std::max(lengths[0], needed[0]), std::max(lengths[1], needed[1])};
  }
  return Arena{Floats(lengths[0]), Floats(lengths[1])};
}

// The chosen candidate, decoded once more for `decoded` while its
// coefficients are still floats (write() puts its bytes over the memory
// the decode works in), unless `decoded` took its decode last, then
// written.
std::expected<Built, QuarnelError> keep(const Signal& s, const Decomposition& d,
                                        const Coefficients& made, const Candidate& c, Measured m,
                                        bool decoded_last, const DecodedSink* decoded) {
  if (decoded && !decoded_last) QUARNEL_TRY(decode(s, d, made, c, m.quantisation, *decoded));
  return write(d, made, c, std::move(m.quantisation), m.achieved);
}

// A constant signal is stored exactly by any wavelet at one level.
std::expected<std::optional<Built>, QuarnelError> constant_stream(const Signal& s, const Target& t,
                                                                  WaveletMethod method,
                                                                  Arena& arena,
                                                                  const DecodedSink* decoded) {
  QUARNEL_TRY_ASSIGN(d, decompose(s, method, arena));
  Candidate c;
  c.levels = 1;
  c.step = kFinestStep;
  c.quantisers.assign(2, kRounding);
  QUARNEL_TRY_ASSIGN(one, coefficients(s, d, 1, arena));
  QUARNEL_TRY_ASSIGN(m, measured(s, d, one, c));
  if (!m || !t.met(m->achieved)) return std::optional<Built>();
  QUARNEL_TRY_ASSIGN(built, keep(s, d, one, c, std::move(*m), false, decoded));
  return std::optional<Built>(std::move(built));
}

// The estimate picks one wavelet and level count from each band's
// statistics; only the winner is transformed again, to the levels it uses,
// and its candidates decoded. Nothing when no estimate reaches the aim, or
// the pick misses even at its finest step.
std::expected<std::optional<Built>, QuarnelError> estimated_stream(
    const Signal& s, const Target& t, std::span<const WaveletMethod> methods, Aim aim, Arena& arena,
    const DecodedSink* decoded) {
  std::optional<Candidate> best;
  std::optional<Decomposition> kept;
  for (const WaveletMethod method : methods) {
    QUARNEL_TRY_ASSIGN(d, decompose(s, method, arena));
    auto c = best_levels(d, aim.mean_square, aim.dead_zones);
    if (c && (!best || c->bits < best->bits)) {
      best = std::move(c);
      kept = std::move(d);
    }
  }
  if (!best) return std::optional<Built>();
  QUARNEL_TRY_ASSIGN(made, coefficients(s, *kept, best->levels, arena));
  QUARNEL_TRY_ASSIGN(r, refine(s, *kept, made, t, *best, aim.dead_zones, decoded));
  if (!r) return std::optional<Built>();
  QUARNEL_TRY_ASSIGN(
      built, keep(s, *kept, made, r->candidate, std::move(r->measured), r->decoded_last, decoded));
  return std::optional<Built>(std::move(built));
}

// The stream of the candidate the estimates found.
std::expected<Encoded, QuarnelError> coded(const Built& found, const BoundedOptions& options,
                                           unsigned threads, Arena& arena) {
  // Only the chosen candidate's bytes are needed from here on: the rest of
  // the arena goes before the coder takes memory of its own.
  arena.second = Floats();
  if (!std::holds_alternative<std::span<const std::uint8_t>>(found.storage)) {
    arena.first = Floats();
  }
  Encoded chosen;
  QUARNEL_TRY_ASSIGN(stream, encode(found, options, threads, chosen.coder));
  chosen.stream = std::move(stream);
  chosen.method = found.method;
  chosen.header = found.header;
  chosen.achieved = found.achieved;
  return chosen;
}

// The estimate found nothing, or its pick missed even at its finest step:
// the smallest stream of the whole space that meets the target, else with
// `or_closest` the closest, else the refusal. With `decoded`, the stream is
// decoded for it.
std::expected<Encoded, QuarnelError> searched_stream(const Signal& s, const Target& t,
                                                     std::span<const WaveletMethod> methods,
                                                     const BoundedOptions& options,
                                                     unsigned threads, Arena& arena,
                                                     const DecodedSink* decoded, bool or_closest) {
  QUARNEL_TRY_ASSIGN(searched, exhaust(s, t, methods, options, threads, arena, or_closest));
  Encoded chosen;
  if (searched.smallest) {
    chosen = std::move(*searched.smallest);
  } else if (or_closest && searched.closest) {
    chosen = std::move(*searched.closest);
  } else {
    return std::unexpected(unreachable(t, s, searched.tightest));
  }
  if (decoded) {
    QUARNEL_TRY_ASSIGN(samples_back, decompress(chosen.stream, threads));
    (*decoded)(0, samples_back);
  }
  return chosen;
}

BoundedResult result_of(const Signal& s, Encoded chosen) {
  BoundedResult result;
  result.stream = std::move(chosen.stream);
  result.coder = chosen.coder;
  result.max_error = chosen.achieved.max_error;
  result.psnr = psnr_of(s.target_range, chosen.achieved.rms_error);
  result.method = chosen.method;
  result.scale = chosen.header.scale;
  result.levels = chosen.header.levels;
  return result;
}

// With `decoded`, the samples the chosen stream decodes to go there too.
std::expected<BoundedResult, QuarnelError> compress_checked(
    std::span<const float> samples, std::span<const double> exact, const BoundedOptions& options,
    unsigned threads, const DecodedSink* decoded, KnownRanges known, bool or_closest) {
  const Signal s = scan(samples, exact, known);
  if (!std::isfinite(s.range) || !std::isfinite(s.hi - s.lo)) {
    return std::unexpected(QuarnelError::unsupported_configuration(
        "Can't compress data whose range max - min exceeds the largest float32 value"));
  }
  QUARNEL_TRY_ASSIGN(target, make_target(options, s));
  const std::vector<WaveletMethod> methods = allowed_methods(options);
  Arena arena = arena_for(s, methods);
  QUARNEL_TRY_ASSIGN(found,
                     s.range == 0.0
                         ? constant_stream(s, target, methods.front(), arena, decoded)
                         : estimated_stream(s, target, methods, aim_of(s, target), arena, decoded));
  QUARNEL_TRY_ASSIGN(chosen, found ? coded(*found, options, threads, arena)
                                   : searched_stream(s, target, methods, options, threads, arena,
                                                     decoded, or_closest));
  return result_of(s, std::move(chosen));
}

// The arguments checked, float64 samples rounded after the check that they
// fit, then the search.
template <typename T>
std::expected<BoundedResult, QuarnelError> checked_entry(
    std::span<const T> samples, const BoundedOptions& options, unsigned threads,
    const DecodedSink* decoded, const FiniteRange<T>* range = nullptr, bool or_closest = false) {
  QUARNEL_TRY(check_arguments(samples.size(), options));
  if constexpr (std::is_same_v<T, float>) {
    return compress_checked(samples, {}, options, threads, decoded, {range, nullptr}, or_closest);
  } else {
    QUARNEL_TRY(check_float32_range(samples));
    const std::vector<float> rounded(samples.begin(), samples.end());
    return compress_checked(rounded, samples, options, threads, decoded, {nullptr, range},
                            or_closest);
  }
}

}  // namespace
}  // namespace bounded

std::expected<BoundedResult, QuarnelError> compress_bounded(std::span<const float> samples,
                                                            const BoundedOptions& options) {
  return compress_bounded(samples, options, 1);
}

std::expected<BoundedResult, QuarnelError> compress_bounded(std::span<const float> samples,
                                                            const BoundedOptions& options,
                                                            unsigned threads) {
  return bounded::checked_entry(samples, options, threads, nullptr);
}

std::expected<BoundedResult, QuarnelError> compress_bounded(std::span<const double> samples,
                                                            const BoundedOptions& options,
                                                            unsigned threads) {
  return bounded::checked_entry(samples, options, threads, nullptr);
}

std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(
    std::span<const float> samples, const FiniteRange<float>& range, const BoundedOptions& options,
    unsigned threads, const DecodedSink& take, bool or_closest) {
  return bounded::checked_entry(samples, options, threads, &take, &range, or_closest);
}

std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(
    std::span<const double> samples, const FiniteRange<double>& range,
    const BoundedOptions& options, unsigned threads, const DecodedSink& take, bool or_closest) {
  return bounded::checked_entry(samples, options, threads, &take, &range, or_closest);
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel

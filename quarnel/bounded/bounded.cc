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
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <ranges>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "quarnel/arans.h"
#include "quarnel/band_layout.h"
#include "quarnel/bounded/band_statistics.h"
#include "quarnel/bounded/bounded.h"
#include "quarnel/compressor.h"
#include "quarnel/decompressor.h"
#include "quarnel/bounded/finite_range.h"
#include "quarnel/header.h"
#include "quarnel/method.h"
#include "quarnel/quarnel.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/reconstruct.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

// Steps are in units of the signal's range. Scale 12 with the range itself
// stored gives 2^-12; coarser ones come from a wider stored range, finer ones
// from a narrower one, as far as the coefficients fit 16 bits.
constexpr double kFinestStep = 1.0 / (1 << 20);
constexpr double kCoarsestStep = 64.0;
// How a band turns magnitudes m (in steps) into integers: 0 below
// `threshold`, else max(1, floor(m + offset)). The first is plain rounding;
// the others trade error for bits, the dead zone taking out the many small
// values and the lower offset shifting every cell towards the more frequent
// smaller magnitudes.
struct Quantiser {
  double threshold;
  double offset;
};
constexpr Quantiser kRounding = {0.5, 0.5};
constexpr std::array kQuantisers = {
    kRounding,           Quantiser{0.6, 0.5}, Quantiser{0.7, 0.45}, Quantiser{0.8, 0.45},
    Quantiser{0.9, 0.4}, Quantiser{1.0, 0.4}, Quantiser{1.15, 0.35}};
// Candidates decoded to correct the step before giving up on an estimate.
constexpr int kRefinements = 6;
// A verified candidate this close under its target is good enough.
constexpr double kCloseEnough = 0.995;
// Where the corrections aim, within that window.
constexpr double kAim = 0.9975;

// ----------------------------------------------------------------------------
// The signal

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

// out = y - mean for y = (x - lo) * inv, rounded to float32 as the transform
// takes it; false where some x is not finite, whose y is then left to the
// caller. Where the processor may have AVX2 or AVX-512, a copy is built for
// each, in which the loop vectorises, four or eight doubles a step; every
// operation is correctly rounded, so all copies give the same values. (Not
// under ThreadSanitizer, as in reconstruct.cc.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
bool normalise(const float* __restrict x, std::size_t count, double lo, double inv, double mean,
               float* __restrict out) {
  std::uint32_t nonfinite = 0;  // an exponent of all ones
  for (std::size_t i = 0; i < count; ++i) {
    nonfinite |= (std::bit_cast<std::uint32_t>(x[i]) & 0x7F800000u) == 0x7F800000u;
    const auto y = static_cast<float>((static_cast<double>(x[i]) - lo) * inv);
    out[i] = static_cast<float>(static_cast<double>(y) - mean);
  }
  return nonfinite == 0;
}

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

  void fill(std::size_t from, std::size_t count, float* out) {
    if (s_.range == 0.0) {
      std::fill_n(out, count, 0.0f);
      return;
    }
    const std::size_t n = s_.samples.size();
    // Mostly every sample is finite and none repeats: one pass.
    if (from + count <= n && normalise(&s_.samples[from], count, s_.lo, inv_, mean_, out)) {
      if (count > 0) held_ = s_.samples[from + count - 1];
      return;
    }
    std::array<float, 1024> held;
    for (std::size_t done = 0, at = from % n; done < count; done += held.size()) {
      const std::size_t piece = std::min(held.size(), count - done);
      for (std::size_t i = 0; i < piece; ++i, at = at + 1 == n ? 0 : at + 1) {
        if (at == 0) held_ = s_.first;
        if (std::isfinite(s_.samples[at])) held_ = s_.samples[at];
        held[i] = held_;
      }
      normalise(held.data(), piece, s_.lo, inv_, mean_, out + done);
    }
  }
  // The sum in sample order, onto `sum`, of what fill() makes of `count`
  // samples from `from`, for a mean of 0. Mostly every sample is finite: the
  // samples are made and added in one pass, whose additions, each waiting on
  // the one before, leave time for the rest.
  double sum_onto(double sum, std::size_t from, std::size_t count) {
    if (mean_ == 0.0 && s_.range != 0.0 && from + count <= s_.samples.size()) {
      const float* x = &s_.samples[from];
      double total = sum;
      std::uint32_t nonfinite = 0;  // an exponent of all ones
      for (std::size_t i = 0; i < count; ++i) {
        nonfinite |= (std::bit_cast<std::uint32_t>(x[i]) & 0x7F800000u) == 0x7F800000u;
        total += static_cast<float>((static_cast<double>(x[i]) - s_.lo) * inv_);
      }
      if (nonfinite == 0) {
        if (count > 0) held_ = x[count - 1];
        return total;
      }
    }
    std::array<float, 2048> chunk;
    for (std::size_t done = 0; done < count; done += chunk.size()) {
      const std::size_t piece = std::min(chunk.size(), count - done);
      fill(from + done, piece, chunk.data());
      for (std::size_t i = 0; i < piece; ++i) sum += static_cast<double>(chunk[i]);
    }
    return sum;
  }
  lumvet::SampleSource source() {
    return {[](void* self, std::size_t from, std::size_t count, float* out) {
              static_cast<NormalisedSignal*>(self)->fill(from, count, out);
            },
            this};
  }

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
Signal scan(std::span<const float> samples, std::span<const double> exact, KnownRanges known) {
  Signal s;
  s.samples = samples;
  s.exact = exact;
  const FiniteRange<float> r = known.samples ? *known.samples : finite_range(samples);
  const bool seen = r.finite > 0;
  s.finite = r.finite;
  s.lo = seen ? r.lo : 0.0f;
  s.hi = seen ? r.hi : 0.0f;
  if (seen) s.first = *std::ranges::find_if(samples, [](float x) { return std::isfinite(x); });
  s.range = static_cast<double>(s.hi) - static_cast<double>(s.lo);
  s.target_range = s.range;
  if (!exact.empty() && seen) {
    const FiniteRange<double> caller = known.exact ? *known.exact : finite_range(exact);
    s.target_range = caller.hi - caller.lo;
  }
  if (s.range == 0.0) return s;  // all zeros
  // Summed in sample order.
  NormalisedSignal scaled(s, 0.0);
  constexpr std::size_t kPiece = 2048;
  double sum = 0.0;
  for (std::size_t from = 0; from < samples.size(); from += kPiece) {
    sum = scaled.sum_onto(sum, from, std::min(kPiece, samples.size() - from));
  }
  s.mean = sum / static_cast<double>(samples.size());
  return s;
}

// Samples or a band, left unset until written: every value is written
// before it is read (the transform writes all of its bands), so zeroing them
// first would only cost a pass over memory.
class Floats {
 public:
  Floats() = default;
  explicit Floats(std::size_t n)
      : data_(n ? std::make_unique_for_overwrite<float[]>(n) : nullptr), size_(n) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  operator std::span<float>() { return {data_.get(), size_}; }
  operator std::span<const float>() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<float[]> data_;
  std::size_t size_ = 0;
};

// What a decoded signal achieves against the caller's finite samples, in
// their own precision.
struct Achieved {
  double max_error = 0.0;
  double rms_error = 0.0;
};

// The errors of a decoded signal against the caller's values, a non-finite
// sample counting an error of 0, which changes neither the largest error nor
// the sum: the loops have no branch to mispredict.
template <typename T>
double error_at(std::span<const float> samples, std::span<const T> values,
                std::span<const float> decoded, std::size_t i) {
  return std::isfinite(samples[i])
             ? std::abs(static_cast<double>(decoded[i]) - static_cast<double>(values[i]))
             : 0.0;
}

// Four running maxima: the largest error does not depend on the order it is
// taken in, and one would wait on every comparison.
template <typename T>
double largest_error(std::span<const float> samples, std::span<const T> values,
                     std::span<const float> decoded, double top) {
  std::array<double, 4> tops{top, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= samples.size(); i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      tops[k] = std::max(tops[k], error_at(samples, values, decoded, i + k));
    }
  }
  for (; i < samples.size(); ++i)
    tops[0] = std::max(tops[0], error_at(samples, values, decoded, i));
  return std::ranges::max(tops);
}

// The squared errors added in sample order, whose rounding the reported
// PSNR keeps, and the largest error beside them: the additions wait on each
// other, and the comparisons fit in the time they leave.
template <typename T>
void both_errors(std::span<const float> samples, std::span<const T> values,
                 std::span<const float> decoded, double& top, double& sum) {
  double largest = top, total = sum;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double e = error_at(samples, values, decoded, i);
    largest = std::max(largest, e);
    total += e * e;
  }
  top = largest;
  sum = total;
}

// What a decoded signal achieves, measured a piece at a time in sample
// order, so that a decode can be measured as it is made. The RMS error, the
// slower half, is measured only `with_rms`; else it is +inf.
class Measure {
 public:
  Measure(const Signal& s, bool with_rms) : s_(s), with_rms_(with_rms) {}

  // The decoder's samples from the first one not measured yet on.
  void add(std::span<const float> decoded) {
    if (s_.exact.empty()) {
      add_against(s_.samples, decoded);
    } else {
      add_against(s_.exact, decoded);
    }
    measured_ += decoded.size();
  }
  std::size_t measured() const { return measured_; }

  Achieved result() const {
    Achieved a{max_error_, std::numeric_limits<double>::infinity()};
    if (with_rms_) {
      a.rms_error = s_.finite == 0 ? 0.0 : std::sqrt(sum_ / static_cast<double>(s_.finite));
    }
    return a;
  }

 private:
  template <typename T>
  void add_against(std::span<const T> values, std::span<const float> decoded) {
    const auto samples = s_.samples.subspan(measured_, decoded.size());
    const auto caller = values.subspan(measured_, decoded.size());
    if (with_rms_) {
      both_errors(samples, caller, decoded, max_error_, sum_);
    } else {
      max_error_ = largest_error(samples, caller, decoded, max_error_);
    }
  }

  const Signal& s_;
  bool with_rms_;
  std::size_t measured_ = 0;
  double max_error_ = 0.0;
  double sum_ = 0.0;
};

Achieved measure(const Signal& s, std::span<const float> decoded) {
  Measure m(s, true);
  m.add(decoded);
  return m.result();
}

double psnr_of(double range, double rms_error) {
  if (rms_error == 0.0) return std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(range / rms_error);
}

// ----------------------------------------------------------------------------
// The target

struct Target {
  ErrorTarget kind;
  double value;      // as the caller gave it
  double max_error;  // absolute bound on the largest error, or +inf
  double rms_error;  // absolute bound on the RMS error, or +inf

  bool met(const Achieved& a) const { return a.max_error <= max_error && a.rms_error <= rms_error; }
  // How much of the allowance a candidate uses: 1 is exactly at the target.
  double used(const Achieved& a) const {
    return kind == ErrorTarget::psnr ? a.rms_error / rms_error : a.max_error / max_error;
  }
};

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

std::expected<Target, QuarnelError> make_target(const BoundedOptions& options, const Signal& s) {
  if (auto valid = check_error_target(options.target, options.value); !valid) {
    return Unexpected(valid.error());
  }
  const double v = options.value;
  const double inf = std::numeric_limits<double>::infinity();
  if (options.target != ErrorTarget::psnr) {
    return Target{options.target, v,
                  options.target == ErrorTarget::max_error ? v : v * s.target_range, inf};
  }
  // A hair under the bound, so that a PSNR the caller computes with another
  // summation order still reaches the target. An exact stream meets every
  // target, even where the power overflows and a range of 0 times it would
  // be NaN.
  return Target{
      options.target, v, inf,
      s.target_range == 0.0 ? 0.0 : s.target_range * std::pow(10.0, -v / 20.0) * (1.0 - 1e-9)};
}

// Three significant digits, rounded up: given back as a target, the figure is
// met by the stream that reached `v`.
std::string rounded_up(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", v);
  if (!std::isfinite(v) || std::strtod(text, nullptr) >= v) return text;
  const double unit = std::pow(10.0, std::floor(std::log10(v)) - 2.0);
  for (double k = std::ceil(v / unit);; ++k) {
    std::snprintf(text, sizeof text, "%.3g", k * unit);
    if (std::strtod(text, nullptr) >= v) return text;
  }
}

// Tenths of a dB, rounded down past the hair the target takes off.
std::string rounded_down_db(double psnr) {
  char text[32];
  if (!std::isfinite(psnr)) {
    std::snprintf(text, sizeof text, "%.1f", psnr);
    return text;
  }
  const double highest = psnr - 1e-6;
  for (double k = std::floor(highest * 10.0);; --k) {
    std::snprintf(text, sizeof text, "%.1f", k / 10.0);
    if (std::strtod(text, nullptr) <= highest) return text;
  }
}

// The target as a refusal names it.
std::string asked(ErrorTarget kind, double value) {
  switch (kind) {
    case ErrorTarget::max_error:
      return "max error " + number(value);
    case ErrorTarget::relative_error:
      return "relative error " + number(value);
    case ErrorTarget::psnr:
      break;
  }
  return "PSNR " + number(value) + " dB";
}

// `tightest` is what the closest stream the encoder could return achieves. A
// relative error or a PSNR of a signal whose range is 0 asks for an exact
// stream: the figure it is given is a largest error.
QuarnelError unreachable(const Target& t, const Signal& s, const Achieved& tightest) {
  if (t.kind != ErrorTarget::max_error && !(s.target_range > 0.0)) {
    return QuarnelError::bound_unreachable(
        asked(t.kind, t.value) +
        ": the signal's range is 0, which asks for an exact stream; the tightest max error this "
        "signal allows is " +
        rounded_up(tightest.max_error));
  }
  switch (t.kind) {
    case ErrorTarget::max_error:
      break;
    case ErrorTarget::relative_error: {
      double relative = tightest.max_error / s.target_range;
      if (relative * s.target_range < tightest.max_error) {
        relative = std::nextafter(relative, std::numeric_limits<double>::infinity());
      }
      return tightest_unreachable(t.kind, t.value, relative);
    }
    case ErrorTarget::psnr:
      return QuarnelError::bound_unreachable(
          asked(t.kind, t.value) + ": the highest this signal allows is " +
          rounded_down_db(psnr_of(s.target_range, tightest.rms_error)) + " dB");
  }
  return tightest_unreachable(t.kind, t.value, tightest.max_error);
}

}  // namespace

QuarnelError tightest_unreachable(ErrorTarget kind, double value, double tightest) {
  return QuarnelError::bound_unreachable(asked(kind, value) +
                                         ": the tightest this signal allows is " +
                                         rounded_up(tightest));
}

double named_figure(double v) {
  return std::strtod(rounded_up(v).c_str(), nullptr);
}

namespace {

// ----------------------------------------------------------------------------
// One wavelet's decomposition

// The shortest input a level of several may transform.
std::size_t min_level_input(WaveletMethod method, const lumvet::DwtExecutor& executor) {
  switch (method) {
    case WaveletMethod::cdf53:
      return 3;
    case WaveletMethod::cdf97:
      return 4;
    default:
      return executor.filter_length();
  }
}

// Energy a unit coefficient of each band puts into the samples, measured once
// per wavelet on an impulse: the error of a band weighs that much in the
// samples' squared error. detail[k] and approximation[k] belong to level
// k + 1.
struct SynthesisWeights {
  std::array<double, kMaxLevels> detail{};
  std::array<double, kMaxLevels> approximation{};
};

SynthesisWeights measure_weights(WaveletMethod method) {
  SynthesisWeights w;
  const auto executor = make_executor(method);
  constexpr std::size_t kLength = 8192;  // ten levels deep for every wavelet
  for (unsigned levels = 1; levels <= kMaxLevels; ++levels) {
    const BandLayout layout = band_layout(*executor, kLength, levels);
    std::vector<std::vector<float>> details;
    for (const auto& level : layout.levels) details.emplace_back(level.details_length, 0.0f);
    std::vector<float> approximation(layout.approximation_length(), 0.0f);
    const auto energy = [&](std::vector<float>& band) {
      band[band.size() / 2] = 1.0f;
      lumvet::MultiDwtRef ref;
      for (const auto& d : details) ref.details.emplace_back(d);
      ref.approximation = approximation;
      const auto out = executor->multi_idwt(ref);
      band[band.size() / 2] = 0.0f;
      double e = 0.0;
      if (out) {
        for (const float y : *out) e += static_cast<double>(y) * y;
      }
      return e > 0.0 ? e : 1.0;
    };
    w.approximation[levels - 1] = energy(approximation);
    w.detail[levels - 1] = energy(details.back());
  }
  return w;
}

const SynthesisWeights& synthesis_weights(WaveletMethod method) {
  static const std::array<SynthesisWeights, 4> weights = {
      measure_weights(WaveletMethod::cdf53), measure_weights(WaveletMethod::cdf97),
      measure_weights(WaveletMethod::db4), measure_weights(WaveletMethod::sym4)};
  return weights[static_cast<std::size_t>(method)];
}

// What the estimates need of one wavelet's decomposition: each band's
// statistics, for as many levels as allowed. The coefficients themselves are
// made again for the one candidate that is decoded (Coefficients), so that no
// two transforms are held at once.
struct Decomposition {
  WaveletMethod method{};
  lumvet::DwtExecutorHandle executor;
  std::size_t length = 0;                      // transformed: the sample count, at least the filter
  std::size_t levels = 0;                      // as many as allowed
  std::vector<BandStatistics> details;         // level k + 1
  std::vector<BandStatistics> approximations;  // level k + 1
  const SynthesisWeights* weights = nullptr;

  std::size_t max_levels() const { return levels; }
};

// A decomposition before its bands: the wavelet, the length and the levels
// allowed while every level's input is long enough for the next.
Decomposition plan(const Signal& s, WaveletMethod method) {
  Decomposition d;
  d.method = method;
  d.executor = make_executor(method);
  d.weights = &synthesis_weights(method);
  d.length = std::max<std::size_t>(s.samples.size(), d.executor->filter_length());
  d.levels = 1;
  const std::size_t shortest = min_level_input(method, *d.executor);
  std::size_t length = d.executor->dwt_size(d.length).approximation_length;
  while (d.levels < kMaxLevels && length >= shortest) {
    ++d.levels;
    length = d.executor->dwt_size(length).approximation_length;
  }
  return d;
}

// The memory every transform of the search works in, allocated once, so
// that no transform pays for fresh pages. The first level puts its
// approximation in `first` and its details in `second`, and each level after
// it both its bands in the one its input is not in (decompose()). For the
// candidates, the first level's details stay in `second`, and `first` holds
// the work of their decodes, then the chosen one's coefficient bytes
// (coefficients()).
struct Arena {
  Floats first;
  Floats second;
};

// The length each buffer of the arena needs for d's wavelet.
std::array<std::size_t, 2> arena_lengths(const Signal& s, const Decomposition& d) {
  const lumvet::DwtSize size = d.executor->dwt_size(d.length);
  // The coarser levels' reconstructions are one sample longer than the first
  // level's approximation at most (a convolution wavelet's); the coefficient
  // bytes are two per coefficient, which more levels only make more of.
  const std::size_t coefficients =
      band_layout(*d.executor, s.samples.size(), static_cast<unsigned>(d.levels))
          .coefficient_count();
  std::array<std::size_t, 2> lengths = {
      std::max(size.approximation_length + 1, (coefficients + 1) / 2), size.details_length};
  std::size_t input = size.approximation_length;
  for (std::size_t k = 1; k < d.levels; ++k) {
    const lumvet::DwtSize next = d.executor->dwt_size(input);
    std::size_t& length = lengths[k % 2];
    length = std::max(length, next.approximation_length + next.details_length);
    input = next.approximation_length;
  }
  return lengths;
}

// One forward level of `input`, or for an empty one the first level, with
// the normalised signal pulled into it.
std::expected<void, QuarnelError> forward(const Signal& s, const Decomposition& d,
                                          std::span<const float> input,
                                          std::span<float> approximation,
                                          std::span<float> details) {
  NormalisedSignal signal(s, s.mean);
  const auto done = input.empty() ? d.executor->execute_forward_from(signal.source(), d.length,
                                                                     approximation, details)
                                  : d.executor->execute_forward(input, approximation, details);
  if (!done) return Unexpected(QuarnelError::transform_failed(done.error().message()));
  return {};
}

// The statistics of every band, the bands themselves made in the arena.
std::expected<Decomposition, QuarnelError> decompose(const Signal& s, WaveletMethod method,
                                                     Arena& arena) {
  Decomposition d = plan(s, method);
  std::span<const float> input;
  for (std::size_t k = 0; k < d.levels; ++k) {
    const lumvet::DwtSize size = d.executor->dwt_size(k == 0 ? d.length : input.size());
    std::span<float> approximation, details;
    if (k == 0) {
      approximation = std::span<float>(arena.first).first(size.approximation_length);
      details = std::span<float>(arena.second).first(size.details_length);
    } else {
      const std::span<float> bands = k % 2 ? arena.second : arena.first;
      approximation = bands.first(size.approximation_length);
      details = bands.subspan(size.approximation_length, size.details_length);
    }
    if (auto made = forward(s, d, input, approximation, details); !made) {
      return Unexpected(made.error());
    }
    d.details.emplace_back(details);
    d.approximations.emplace_back(approximation);
    input = approximation;
  }
  return d;
}

// The coefficients a candidate is quantised from: the details of its levels,
// finest first, and the approximation of its last.
struct Bands {
  std::vector<std::span<const float>> details;
  std::span<const float> approximation;
};

// The bands of `levels` levels of d's wavelet, and the memory their decodes
// work in.
struct Coefficients {
  Bands bands;
  std::vector<Floats> coarser;  // the memory of the bands past the first level's
  // The arena's first buffer, once the second level has read the first
  // level's approximation from there: each decode rebuilds the coarser levels
  // in it, and the chosen candidate's bytes are written there. Empty for one
  // level, whose approximation stays in it.
  std::span<float> work;
};

// The first level's bands go to the arena, the coarser levels' details each
// to memory of its own.
std::expected<Coefficients, QuarnelError> coefficients(const Signal& s, const Decomposition& d,
                                                       std::size_t levels, Arena& arena) {
  Coefficients c;
  const lumvet::DwtSize size = d.executor->dwt_size(d.length);
  const auto approximation = std::span<float>(arena.first).first(size.approximation_length);
  const auto details = std::span<float>(arena.second).first(size.details_length);
  if (auto made = forward(s, d, {}, approximation, details); !made) {
    return Unexpected(made.error());
  }
  c.bands.details.push_back(details);
  c.bands.approximation = approximation;
  if (levels == 1) return c;
  c.work = arena.first;
  // The approximations between the levels go to alternate ends of the work,
  // where they fit, but for the second level's, made while the first level's
  // fills the work, and the last, which the decodes read while they work
  // there: those get memory of their own.
  Floats held;
  for (std::size_t k = 1; k < levels; ++k) {
    const std::span<const float> input = c.bands.approximation;
    const lumvet::DwtSize size_k = d.executor->dwt_size(input.size());
    const std::size_t length = size_k.approximation_length;
    Floats own;
    std::span<float> next;
    if (k == 1 || k + 1 == levels || input.size() + length > c.work.size()) {
      own = Floats(length);
      next = own;
    } else {
      next = input.data() == c.work.data() ? c.work.last(length) : c.work.first(length);
    }
    Floats next_details(size_k.details_length);
    if (auto made = forward(s, d, input, next, next_details); !made) {
      return Unexpected(made.error());
    }
    c.bands.details.emplace_back(next_details);
    c.coarser.push_back(std::move(next_details));
    c.bands.approximation = next;
    held = std::move(own);  // the approximation before goes
  }
  c.coarser.push_back(std::move(held));
  return c;
}

// ----------------------------------------------------------------------------
// Estimates

// A point the encoder may pick: a level count, a step (in units of the
// signal's range) and a quantiser per band (approximation first, then the
// details finest first).
struct Candidate {
  std::size_t levels = 0;
  double step = 0.0;
  std::vector<Quantiser> quantisers;
  double bits = 0.0;         // estimated
  double mean_square = 0.0;  // estimated, in units of the range squared
};

// The smallest step at which every band of `levels` levels fits 16 bits. The
// margin keeps the largest coefficient off the rounding edge of 32767; it is
// not applied to 2^-12, where it would store a range a millionth wider than
// the signal's and put every coefficient a hair off the grid that a signal of
// few distinct values lands on exactly.
double finest_step(const Decomposition& d, std::size_t levels) {
  float top = d.approximations[levels - 1].max_abs();
  for (std::size_t k = 0; k < levels; ++k) top = std::max(top, d.details[k].max_abs());
  return std::max(kFinestStep, static_cast<double>(top) / 32767.0 * (1.0 + 1e-6));
}

struct BandChoice {
  double bits = 0.0;
  double error = 0.0;  // weighted squared error
  Quantiser quantiser = kRounding;
};

// The quantiser that minimises bits + lambda * error. At a fine step the
// squared error per coefficient is step^2 / 12 and each bit less costs a
// factor 4 in it, so a bit is worth (6 / ln 2) / step^2 of squared error.
BandChoice choose(const BandStatistics& band, double weight, double step, bool dead_zones) {
  const double lambda = 6.0 / (std::numbers::ln2 * step * step);
  BandChoice best;
  double best_cost = std::numeric_limits<double>::infinity();
  for (const Quantiser& q : kQuantisers) {
    const auto c = band.cost(step, q.threshold, q.offset);
    const double error = weight * c.squared_error;
    const double cost = c.bits + lambda * error;
    if (cost < best_cost) {
      best_cost = cost;
      best = {c.bits, error, q};
    }
    if (!dead_zones) break;
  }
  return best;
}

Candidate estimate(const Decomposition& d, std::size_t levels, double step, bool dead_zones) {
  Candidate c;
  c.levels = levels;
  c.step = step;
  const auto add = [&](const BandChoice& b) {
    c.bits += b.bits;
    c.mean_square += b.error;
    c.quantisers.push_back(b.quantiser);
  };
  add(choose(d.approximations[levels - 1], d.weights->approximation[levels - 1], step, dead_zones));
  for (std::size_t k = 0; k < levels; ++k) {
    add(choose(d.details[k], d.weights->detail[k], step, dead_zones));
  }
  c.mean_square /= static_cast<double>(d.length);
  return c;
}

// Band estimates on a grid of steps an eighth of an octave apart, made as
// they are first needed and shared by every level count: the detail bands of
// level k serve all counts from k up.
class StepGrid {
 public:
  static constexpr int kPerOctave = 8;
  static constexpr int kReach = 18 * kPerOctave;  // either side of the base

  StepGrid(const Decomposition& d, double base, bool dead_zones)
      : d_(d),
        base_(base),
        dead_zones_(dead_zones),
        bands_(2 * d.max_levels() * (2 * kReach + 1)) {}

  double step(double j) const { return base_ * std::exp2(j / kPerOctave); }
  int index_of(double step) const {
    return static_cast<int>(std::ceil(std::log2(step / base_) * kPerOctave - 1e-9));
  }

  // Estimated bits and mean square error of `levels` levels at grid step j.
  std::pair<double, double> at(std::size_t levels, int j) {
    double bits = 0.0, error = 0.0;
    const auto add = [&](std::size_t band) {
      const BandChoice& c = band_at(band, j);
      bits += c.bits;
      error += c.error;
    };
    add(d_.max_levels() + levels - 1);  // the approximation
    for (std::size_t k = 0; k < levels; ++k) add(k);
    return {bits, error / static_cast<double>(d_.length)};
  }

 private:
  // Band b < max_levels is the detail band of level b + 1, the others the
  // approximations.
  const BandChoice& band_at(std::size_t band, int j) {
    auto& slot = bands_[band * (2 * kReach + 1) + static_cast<std::size_t>(j + kReach)];
    if (!slot) {
      const std::size_t levels = d_.max_levels();
      slot = band < levels
                 ? choose(d_.details[band], d_.weights->detail[band], step(j), dead_zones_)
                 : choose(d_.approximations[band - levels],
                          d_.weights->approximation[band - levels], step(j), dead_zones_);
    }
    return *slot;
  }

  const Decomposition& d_;
  double base_;
  bool dead_zones_;
  std::vector<std::optional<BandChoice>> bands_;
};

// The level count and step with the fewest estimated bits whose estimated
// mean square error stays within `mean_square`; nothing when even the finest
// steps miss it. For each level count the grid is walked from the previous
// count's step to the two grid steps around the target, and the step and the
// bits are interpolated between them on the logarithm of the error.
std::optional<Candidate> best_levels(const Decomposition& d, double mean_square, bool dead_zones) {
  // At a fine step the error per coefficient is step^2 / 12.
  const double guess = std::sqrt(12.0 * mean_square);
  StepGrid grid(d, std::clamp(guess, kFinestStep, kCoarsestStep), dead_zones);
  const int top = std::min(StepGrid::kReach, grid.index_of(kCoarsestStep));
  std::optional<Candidate> best;
  double best_bits = std::numeric_limits<double>::infinity();
  int j = 0;
  for (std::size_t levels = d.max_levels(); levels >= 1; --levels) {
    const int bottom = std::max(-StepGrid::kReach, grid.index_of(finest_step(d, levels)));
    if (bottom > top) continue;
    j = std::clamp(j, bottom, top);
    auto [bits, error] = grid.at(levels, j);
    while (error > mean_square && j > bottom) std::tie(bits, error) = grid.at(levels, --j);
    if (error > mean_square) continue;  // even the finest step misses
    double step = grid.step(j);
    while (j < top) {
      const auto [next_bits, next_error] = grid.at(levels, j + 1);
      if (next_error > mean_square) {
        const double t =
            next_error > error && error > 0.0
                ? std::clamp(std::log(mean_square / error) / std::log(next_error / error), 0.0, 1.0)
                : 0.0;
        step = grid.step(j + t);
        bits += t * (next_bits - bits);
        break;
      }
      ++j;
      bits = next_bits;
      error = next_error;
      step = grid.step(j);
    }
    if (bits < best_bits) {
      best_bits = bits;
      best = estimate(d, levels, std::max(step, finest_step(d, levels)), dead_zones);
    }
  }
  return best;
}

// ----------------------------------------------------------------------------
// Candidates made real

struct Built {
  WaveletMethod method{};
  QuarnelHeader header;
  BandLayout layout;
  // The coefficient byte string: its own, or written into the arena.
  std::variant<std::vector<std::uint8_t>, std::span<const std::uint8_t>> storage;
  Achieved achieved;

  std::span<const std::uint8_t> bytes() const {
    return std::visit([](const auto& b) { return std::span<const std::uint8_t>(b); }, storage);
  }
};

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

// A candidate's header, band table and gain, before any coefficient is
// quantised.
struct Quantisation {
  QuarnelHeader header;
  BandLayout layout;
  double gain = 0.0;  // coefficients to steps
};

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

// The samples the candidate's stream decodes to, into `take` in order: the
// inverse transform pulls its coefficients through the quantiser and pushes
// its samples, so no bytes are written, no band is held twice and the
// decoded signal is never held whole.
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
  if (auto done = inverse_transform_to(*d.executor, pulled, coefficients.work,
                                       {&PushedDecode::push, &pushed});
      !done) {
    return Unexpected(done.error());
  }
  // Any samples the transform lacks are 0, as in reconstruct().
  constexpr std::array<float, 256> kZeros{};
  for (; made < n; made += std::min(kZeros.size(), n - made)) {
    take(made, std::span(kZeros).first(std::min(kZeros.size(), n - made)));
  }
  return {};
}

// What the candidate's stream decodes to, measured as it is made, and
// handed on to `also` when there is one.
std::expected<Achieved, QuarnelError> achieved_by(const Signal& s, const Decomposition& d,
                                                  const Coefficients& coefficients,
                                                  const Candidate& c, const Quantisation& q,
                                                  bool with_rms, const DecodedSink* also) {
  Measure measure(s, with_rms);
  if (auto done = decode(s, d, coefficients, c, q,
                         [&](std::size_t from, std::span<const float> decoded) {
                           measure.add(decoded);
                           if (also) (*also)(from, decoded);
                         });
      !done) {
    return Unexpected(done.error());
  }
  return measure.result();
}

// The candidate's coefficient byte string, in payload order, written into
// the arena's work where it fits (it does for every level count but one,
// whose approximation lies there).
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

// A candidate with its header and what it achieves; nothing when it has no
// header (quantisation()).
struct Measured {
  Quantisation quantisation;
  Achieved achieved;
};

// The RMS error is +inf, not measured, unless `with_rms`. The decode goes to
// `also` too, when there is one.
std::expected<std::optional<Measured>, QuarnelError> measured(
    const Signal& s, const Decomposition& d, const Coefficients& coefficients, const Candidate& c,
    bool with_rms = true, const DecodedSink* also = nullptr) {
  auto q = quantisation(s, d, c);
  if (!q) return std::optional<Measured>();
  const auto achieved = achieved_by(s, d, coefficients, c, *q, with_rms, also);
  if (!achieved) return Unexpected(achieved.error());
  return std::optional<Measured>(Measured{std::move(*q), *achieved});
}

// ----------------------------------------------------------------------------
// The search

struct Found {
  Measured measured;
  Candidate candidate;
  bool decoded_last = false;  // no candidate was decoded after it
};

// Starting from an estimate, decodes candidates and corrects the step until
// one meets the target closely. The error is taken to grow as a power of the
// step, the power measured between the last two candidates. After
// kRefinements decodes the best candidate that met the target stands; while
// none has, the step keeps shrinking down to the finest. Nothing when even
// that misses.
std::expected<std::optional<Found>, QuarnelError> refine(const Signal& s, const Decomposition& d,
                                                         const Coefficients& coefficients,
                                                         const Target& t, Candidate c,
                                                         bool dead_zones, const DecodedSink* also) {
  std::optional<Found> best;
  double best_used = 0.0;
  const double finest = finest_step(d, c.levels);
  double previous_step = 0.0, previous_used = 0.0;
  for (int round = 1;; ++round) {
    // Where the largest error is the target, only a candidate that would
    // be kept needs its RMS error, which is reported.
    const bool with_rms = t.kind == ErrorTarget::psnr || !best || c.step > best->candidate.step;
    auto m = measured(s, d, coefficients, c, with_rms, also);
    if (!m) return Unexpected(m.error());
    const double used = *m ? t.used((*m)->achieved) : std::numeric_limits<double>::infinity();
    if (best && *m) best->decoded_last = false;
    if (*m && t.met((*m)->achieved) && (!best || c.step > best->candidate.step)) {
      best = Found{std::move(**m), c, true};
      best_used = used;
    }
    if (best && (best_used >= kCloseEnough || round >= kRefinements)) break;
    if (c.step <= finest && !best) break;  // nothing finer to try

    double power = 1.0;
    if (previous_step > 0.0 && std::isfinite(used) && used > 0.0 && previous_used > 0.0 &&
        std::isfinite(previous_used) && std::abs(std::log(c.step / previous_step)) > 1e-4) {
      power =
          std::clamp(std::log(used / previous_used) / std::log(c.step / previous_step), 0.3, 3.0);
    }
    double factor = std::isfinite(used) && used > 0.0 ? std::pow(kAim / used, 1.0 / power) : 0.5;
    if (round >= kRefinements) factor = std::min(factor, 0.7);  // backing off
    previous_step = c.step;
    previous_used = used;
    const double step = std::max(finest, c.step * std::clamp(factor, 0.25, 4.0));
    if (best && step <= best->candidate.step * 1.0001) break;  // no gain left
    c = estimate(d, c.levels, step, dead_zones);
  }
  return best;
}

// DEFLATE at its slowest level beats the rANS coder's floor below about 1.2
// bits per coefficient, by up to a fifth on the sparsest payloads, but parses
// only some 3 million coefficients a second: a short payload affords it.
// Longer ones try level 10, three times faster for a few per cent more,
// where the rANS coder spends under 0.75 bit.
struct DeflateTrial {
  double below_bits;  // per coefficient in the rANS coder's stream
  int level;
};
constexpr std::size_t kShortPayload = std::size_t{1} << 18;
constexpr DeflateTrial kShortTrial = {1.25, 12};
constexpr DeflateTrial kLongTrial = {0.75, 10};

// The largest of n Gaussian errors is about this many RMS errors: where the
// target is the largest error, the estimates aim at the RMS error it implies,
// and the decodes correct the rest.
double gaussian_peak(std::size_t n) {
  return std::sqrt(2.0 * std::log(static_cast<double>(std::max<std::size_t>(n, 3))));
}

std::expected<std::vector<std::uint8_t>, QuarnelError> encode(const Built& b,
                                                              const BoundedOptions& options,
                                                              unsigned threads, CoderChoice& used) {
  const CoderChoice coder = options.coder;
  const auto finish =
      [&](std::vector<std::uint8_t> stream,
          std::uint8_t coder_byte) -> std::expected<std::vector<std::uint8_t>, QuarnelError> {
    QuarnelHeader h = b.header;
    h.coder = coder_byte;
    const auto length = payload_length_field(stream.size() - kHeaderSize);
    if (!length) return Unexpected(length.error());
    h.payload_length = *length;
    h.write_to(std::span<std::uint8_t, kHeaderSize>(stream.data(), kHeaderSize));
    return stream;
  };
  const bool rans_fits = b.layout.coefficient_count() <= kMaxPairCount;
  std::optional<std::vector<std::uint8_t>> rans;
  if (coder != CoderChoice::deflate && rans_fits) {
    std::vector<std::uint8_t> payload = encode_stream(b.bytes(), threads);
    std::vector<std::uint8_t> stream(kHeaderSize);
    stream.insert(stream.end(), payload.begin(), payload.end());
    rans = std::move(stream);
  }
  if (coder == CoderChoice::arans && !rans_fits) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't code more than " + std::to_string(kMaxPairCount) +
        " coefficients with the rANS coder, but data needs " +
        std::to_string(b.layout.coefficient_count()) + "; use the deflate coder"));
  }
  // DEFLATE wins only where long runs of zeros leave the rANS coder paying
  // its floor of a few hundredths of a bit per decision: try it there, at a
  // level that parses for the smallest output, since the smallest stream is
  // what a coder left to the encoder asks for.
  const std::size_t coefficients = b.layout.coefficient_count();
  const DeflateTrial trial = coefficients <= kShortPayload ? kShortTrial : kLongTrial;
  const bool sparse = rans && static_cast<double>(rans->size()) * 8.0 <
                                  trial.below_bits * static_cast<double>(coefficients);
  if (coder == CoderChoice::deflate || !rans || (coder == CoderChoice::auto_ && sparse)) {
    const int level = coder == CoderChoice::auto_ ? std::max(options.deflate_level, trial.level)
                                                  : options.deflate_level;
    std::vector<std::uint8_t> stream(kHeaderSize);
    if (auto deflated = deflate_append(b.bytes(), stream, level); !deflated) {
      return Unexpected(deflated.error());
    }
    if (!rans || stream.size() < rans->size()) {
      used = CoderChoice::deflate;
      return finish(std::move(stream), kCoderDeflate);
    }
  }
  used = CoderChoice::arans;
  return finish(std::move(*rans), kCoderArans);
}

// ----------------------------------------------------------------------------
// The whole space, for when the estimates miss

// A stream of the plain encoder, compress() at `scale` with the low cutoff,
// made a candidate: it truncates where this encoder rounds, and on signals
// whose coefficients land on its grid that is exact where rounding a step a
// hair off is not. Nothing when compress() refuses the scale.
std::expected<std::optional<Built>, QuarnelError> plain_stream(const Signal& s,
                                                               WaveletMethod method,
                                                               std::uint8_t scale,
                                                               unsigned threads) {
  Built b;
  b.method = method;
  const auto executor = make_executor(method);
  const std::size_t n = s.samples.size();
  b.layout =
      band_layout(*executor, n, static_cast<unsigned>(level_count(n, executor->filter_length())));
  const bool rans = b.layout.coefficient_count() <= kMaxPairCount;
  CompressionOptions options;
  options.cutoff = CutoffLevel::low;
  options.coder = rans ? CoderChoice::arans : CoderChoice::deflate;
  options.method = method;
  options.scale = scale;
  const auto stream = compress(s.samples, options, threads);
  if (!stream) {
    if (stream.error().kind() == QuarnelErrorKind::UnsupportedConfiguration) {
      return std::optional<Built>();
    }
    return Unexpected(stream.error());
  }
  const auto header = read_stream_header(*stream);
  if (!header) return Unexpected(header.error());
  b.header = *header;
  const auto payload = std::span(*stream).subspan(kHeaderSize, b.header.payload_length);
  const std::uint64_t keep = 2 * b.layout.coefficient_count();
  if (rans) {
    auto bytes = decode_stream(payload, keep, threads);
    if (!bytes)
      return Unexpected(QuarnelError::decompression_failed(std::string(message(bytes.error()))));
    b.storage = std::move(*bytes);
  } else {
    auto bytes = inflate_payload(payload, keep);
    if (!bytes) return Unexpected(bytes.error());
    b.storage = std::vector<std::uint8_t>(bytes->bytes().begin(), bytes->bytes().end());
  }
  auto decoded = reconstruct(b.header, *executor, b.layout, b.bytes());
  if (!decoded) return Unexpected(decoded.error());
  b.achieved = measure(s, *decoded);
  return std::optional<Built>(std::move(b));
}

// A stream ready to return.
struct Encoded {
  std::vector<std::uint8_t> stream;
  CoderChoice coder = CoderChoice::arans;
  WaveletMethod method{};
  QuarnelHeader header;
  Achieved achieved;
};

// What the whole space holds: the smallest stream that meets the target, if
// any, and what the closest stream achieves (with that stream, when asked).
struct Exhausted {
  std::optional<Encoded> smallest;
  Achieved tightest{std::numeric_limits<double>::infinity(),
                    std::numeric_limits<double>::infinity()};
  std::optional<Encoded> closest;
};

// Every allowed wavelet at every level count at its finest step, and the
// plain encoder's streams, compress(), at every scale.
std::expected<Exhausted, QuarnelError> exhaust(const Signal& s, const Target& t,
                                               std::span<const WaveletMethod> methods,
                                               const BoundedOptions& options, unsigned threads,
                                               Arena& arena, bool keep_closest) {
  Exhausted x;
  // Closer in the target's own measure, the other one breaking ties.
  const auto closer = [&](const Achieved& a, const Achieved& b) {
    return t.kind == ErrorTarget::psnr
               ? std::pair(a.rms_error, a.max_error) < std::pair(b.rms_error, b.max_error)
               : std::pair(a.max_error, a.rms_error) < std::pair(b.max_error, b.rms_error);
  };
  // A stream's bytes are written only once it meets the target, or, while
  // none has, when it is the closest yet and that is asked for.
  const auto offer = [&](const Achieved& achieved,
                         const auto& make) -> std::expected<void, QuarnelError> {
    const bool closest = closer(achieved, x.tightest);
    if (closest) x.tightest = achieved;
    const bool met = t.met(achieved);
    if (!met && !(closest && keep_closest && !x.smallest)) return {};
    const Built b = make();
    CoderChoice used = CoderChoice::arans;
    auto stream = encode(b, options, threads, used);
    if (!stream) return Unexpected(stream.error());
    Encoded e{std::move(*stream), used, b.method, b.header, b.achieved};
    if (!met) {
      x.closest = std::move(e);
    } else if (!x.smallest || e.stream.size() < x.smallest->stream.size()) {
      x.smallest = std::move(e);
    }
    return {};
  };
  for (const WaveletMethod method : methods) {
    auto d = decompose(s, method, arena);
    if (!d) return Unexpected(d.error());
    for (std::size_t levels = 1; levels <= d->max_levels(); ++levels) {
      const Candidate c = estimate(*d, levels, finest_step(*d, levels), false);
      const auto made = coefficients(s, *d, levels, arena);
      if (!made) return Unexpected(made.error());
      auto m = measured(s, *d, *made, c);
      if (!m) return Unexpected(m.error());
      if (!*m) continue;
      const auto offered = offer(
          (*m)->achieved, [&] { return write(*d, *made, c, (*m)->quantisation, (*m)->achieved); });
      if (!offered) return Unexpected(offered.error());
    }
    for (std::uint8_t scale = kMinScale; scale <= kMaxScale; ++scale) {
      auto built = plain_stream(s, method, scale, threads);
      if (!built) return Unexpected(built.error());
      if (!*built) continue;
      const auto offered = offer((*built)->achieved, [&] { return std::move(**built); });
      if (!offered) return Unexpected(offered.error());
    }
  }
  return x;
}

// The checks both overloads make before reading a sample: compress()'s on the
// length, with its messages, then the options.
std::expected<void, QuarnelError> check_arguments(std::size_t sample_count,
                                                  const BoundedOptions& options) {
  CompressionOptions plain;
  plain.coder = CoderChoice::deflate;  // the rANS limit is checked on the real layout
  if (auto checked = check_compressible(sample_count, plain); !checked) {
    return Unexpected(checked.error());
  }
  if (options.method && static_cast<unsigned>(*options.method) > 3) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Unknown method " + std::to_string(static_cast<unsigned>(*options.method))));
  }
  if (static_cast<unsigned>(options.coder) > 2) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Unknown coder " + std::to_string(static_cast<unsigned>(options.coder))));
  }
  return check_deflate_level(options.deflate_level);
}

// With `decoded`, the samples the chosen stream decodes to go there too.
std::expected<BoundedResult, QuarnelError> compress_checked(
    std::span<const float> samples, std::span<const double> exact, const BoundedOptions& options,
    unsigned threads, const DecodedSink* decoded, KnownRanges known, bool or_closest) {
  const Signal s = scan(samples, exact, known);
  if (!std::isfinite(s.range) || !std::isfinite(s.hi - s.lo)) {
    return Unexpected(QuarnelError::unsupported_configuration(
        "Can't compress data whose range max - min exceeds the largest float32 value"));
  }
  const auto target = make_target(options, s);
  if (!target) return Unexpected(target.error());

  std::vector<WaveletMethod> methods;
  if (options.method) {
    methods.push_back(*options.method);
  } else {
    methods = {WaveletMethod::cdf97, WaveletMethod::cdf53, WaveletMethod::db4, WaveletMethod::sym4};
  }

  // The largest error is not a sum of band errors: aim the estimate at the
  // RMS error a Gaussian error of that peak would have, then let the decodes
  // correct it. Dead zones only pay where the RMS error is the target: they
  // zero values up to more than half a step, which the largest error feels.
  const bool dead_zones = target->kind == ErrorTarget::psnr;
  const double aim = dead_zones ? target->rms_error : target->max_error / gaussian_peak(s.finite);
  const double mean_square = s.range > 0.0 ? (aim / s.range) * (aim / s.range) : 0.0;

  std::array<std::size_t, 2> lengths{};
  for (const WaveletMethod method : methods) {
    const auto needed = arena_lengths(s, plan(s, method));
    lengths = {std::max(lengths[0], needed[0]), std::max(lengths[1], needed[1])};
  }
  Arena arena{Floats(lengths[0]), Floats(lengths[1])};
  std::optional<Built> found;
  // The chosen candidate, decoded once more for `decoded` while its
  // coefficients are still floats (write() puts its bytes over the memory
  // the decode works in), unless `decoded` took its decode last, then
  // written.
  const auto keep = [&](const Decomposition& d, const Coefficients& made, const Candidate& c,
                        Measured m, bool decoded_last) -> std::expected<void, QuarnelError> {
    if (decoded && !decoded_last) {
      if (auto done = decode(s, d, made, c, m.quantisation, *decoded); !done) {
        return Unexpected(done.error());
      }
    }
    found = write(d, made, c, std::move(m.quantisation), m.achieved);
    return {};
  };
  if (s.range == 0.0) {
    // A constant signal is stored exactly by any wavelet at one level.
    auto d = decompose(s, methods.front(), arena);
    if (!d) return Unexpected(d.error());
    Candidate c;
    c.levels = 1;
    c.step = kFinestStep;
    c.quantisers.assign(2, kRounding);
    auto one = coefficients(s, *d, 1, arena);
    if (!one) return Unexpected(one.error());
    auto m = measured(s, *d, *one, c);
    if (!m) return Unexpected(m.error());
    if (*m && target->met((*m)->achieved)) {
      if (auto chosen = keep(*d, *one, c, std::move(**m), false); !chosen) {
        return Unexpected(chosen.error());
      }
    }
  } else {
    // The estimate picks one wavelet and level count from each band's
    // statistics; only the winner is transformed again, to the levels it
    // uses, and its candidates decoded.
    std::optional<Candidate> best;
    std::optional<Decomposition> kept;
    for (const WaveletMethod method : methods) {
      auto d = decompose(s, method, arena);
      if (!d) return Unexpected(d.error());
      auto c = best_levels(*d, mean_square, dead_zones);
      if (c && (!best || c->bits < best->bits)) {
        best = std::move(c);
        kept = std::move(*d);
      }
    }
    if (best) {
      const auto made = coefficients(s, *kept, best->levels, arena);
      if (!made) return Unexpected(made.error());
      auto r = refine(s, *kept, *made, *target, *best, dead_zones, decoded);
      if (!r) return Unexpected(r.error());
      if (*r) {
        if (auto chosen =
                keep(*kept, *made, (*r)->candidate, std::move((*r)->measured), (*r)->decoded_last);
            !chosen) {
          return Unexpected(chosen.error());
        }
      }
    }
  }

  Encoded chosen;
  if (found) {
    // Only the chosen candidate's bytes are needed from here on: the rest of
    // the arena goes before the coder takes memory of its own.
    arena.second = Floats();
    if (!std::holds_alternative<std::span<const std::uint8_t>>(found->storage)) {
      arena.first = Floats();
    }
    auto stream = encode(*found, options, threads, chosen.coder);
    if (!stream) return Unexpected(stream.error());
    chosen.stream = std::move(*stream);
    chosen.method = found->method;
    chosen.header = found->header;
    chosen.achieved = found->achieved;
  } else {
    // The estimate found nothing, or its pick missed even at its finest
    // step.
    auto searched = exhaust(s, *target, methods, options, threads, arena, or_closest);
    if (!searched) return Unexpected(searched.error());
    if (searched->smallest) {
      chosen = std::move(*searched->smallest);
    } else if (or_closest && searched->closest) {
      chosen = std::move(*searched->closest);
    } else {
      return Unexpected(unreachable(*target, s, searched->tightest));
    }
    if (decoded) {
      auto samples_back = decompress(chosen.stream, threads);
      if (!samples_back) return Unexpected(samples_back.error());
      (*decoded)(0, *samples_back);
    }
  }

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

// The arguments checked, float64 samples rounded after the check that they
// fit, then the search.
std::expected<BoundedResult, QuarnelError> checked_entry(
    std::span<const float> samples, const BoundedOptions& options, unsigned threads,
    const DecodedSink* decoded, const FiniteRange<float>* range = nullptr,
    bool or_closest = false) {
  if (auto checked = check_arguments(samples.size(), options); !checked) {
    return Unexpected(checked.error());
  }
  return compress_checked(samples, {}, options, threads, decoded, {range, nullptr}, or_closest);
}

std::expected<BoundedResult, QuarnelError> checked_entry(
    std::span<const double> samples, const BoundedOptions& options, unsigned threads,
    const DecodedSink* decoded, const FiniteRange<double>* range = nullptr,
    bool or_closest = false) {
  if (auto checked = check_arguments(samples.size(), options); !checked) {
    return Unexpected(checked.error());
  }
  if (auto fits = check_float32_range(samples); !fits) return Unexpected(fits.error());
  const std::vector<float> rounded(samples.begin(), samples.end());
  return compress_checked(rounded, samples, options, threads, decoded, {nullptr, range},
                          or_closest);
}

}  // namespace

std::expected<BoundedResult, QuarnelError> compress_bounded(std::span<const float> samples,
                                                            const BoundedOptions& options) {
  return compress_bounded(samples, options, 1);
}

std::expected<BoundedResult, QuarnelError> compress_bounded(std::span<const float> samples,
                                                            const BoundedOptions& options,
                                                            unsigned threads) {
  return checked_entry(samples, options, threads, nullptr);
}

std::expected<BoundedResult, QuarnelError> compress_bounded(std::span<const double> samples,
                                                            const BoundedOptions& options,
                                                            unsigned threads) {
  return checked_entry(samples, options, threads, nullptr);
}

std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(
    std::span<const float> samples, const FiniteRange<float>& range, const BoundedOptions& options,
    unsigned threads, const DecodedSink& take, bool or_closest) {
  return checked_entry(samples, options, threads, &take, &range, or_closest);
}

std::expected<BoundedResult, QuarnelError> compress_bounded_decoded(
    std::span<const double> samples, const FiniteRange<double>& range,
    const BoundedOptions& options, unsigned threads, const DecodedSink& take, bool or_closest) {
  return checked_entry(samples, options, threads, &take, &range, or_closest);
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel

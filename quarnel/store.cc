// The encoders as storage uses them: the mask taken out of the signal, the
// plain or bounded encoder on what is left, and the trailer appended.
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "quarnel/compressor.h"
#include "quarnel/quarnel.h"
#include "quarnel/trailer.h"

namespace quarnel {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

template <typename T>
Trailer mask_for(std::span<const T> samples, const StoreOptions& store) {
  Trailer t = mask_of(samples, store.fill_value);
  t.sample_rate = store.sample_rate;
  t.channels = store.channels;
  t.source_format = store.source_format;
  return t;
}

// The masked samples held at the unmasked value before them, for the plain
// encoder, which would otherwise code NaN as 0 and +inf as 1.
template <typename T>
std::vector<T> held(std::span<const T> samples, const Trailer& t) {
  std::vector<T> out(samples.begin(), samples.end());
  std::uint64_t first = 0;  // the first unmasked sample
  for (const MaskRun& r : t.mask) {
    if (r.start > first) break;
    first = r.start + r.length;
  }
  const T lead = first < out.size() ? out[first] : T(0);
  for (const MaskRun& r : t.mask) {
    // Runs ascend, so the sample before a run already holds its stand-in.
    const T before = r.start > 0 ? out[r.start - 1] : lead;
    for (auto i = r.start; i < r.start + r.length; ++i) out[i] = before;
  }
  return out;
}

// The float32 samples the plain encoder codes: float64 ones rounded, after
// the check that they fit.
std::expected<std::vector<float>, QuarnelError> narrowed(std::span<const double> samples) {
  if (auto fits = check_float32_range(samples); !fits) return Unexpected(fits.error());
  return std::vector<float>(samples.begin(), samples.end());
}

// NaN where the mask is, which the bounded encoder treats as outside every
// target and holds at its neighbour.
template <typename T>
std::vector<T> unmeasured(std::span<const T> samples, const Trailer& t) {
  std::vector<T> out(samples.begin(), samples.end());
  for (const MaskRun& r : t.mask) {
    for (auto i = r.start; i < r.start + r.length; ++i) {
      out[i] = std::numeric_limits<T>::quiet_NaN();
    }
  }
  return out;
}

template <typename T>
std::expected<BoundedResult, QuarnelError> bounded_stored(std::span<const T> samples,
                                                          const BoundedOptions& options,
                                                          const StoreOptions& store,
                                                          unsigned threads) {
  if (!store.trailer) return compress_bounded(samples, options, threads);
  Trailer t = mask_for(samples, store);
  // Only a fill value adds to what the encoder leaves out by itself.
  std::vector<T> cleared;
  std::span<const T> input = samples;
  if (store.fill_value && !t.mask.empty()) {
    cleared = unmeasured(samples, t);
    input = cleared;
  }
  auto result = compress_bounded(input, options, threads);
  if (!result) return result;
  t.target = TargetRecord{options.target, options.value, result->max_error, result->psnr};
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (const T x : input) {
    if (!std::isfinite(x)) continue;
    lo = std::min(lo, static_cast<double>(x));
    hi = std::max(hi, static_cast<double>(x));
  }
  if (lo <= hi) t.signal_range = std::pair{lo, hi};
  if (auto ok = append_trailer(result->stream, t); !ok) return Unexpected(ok.error());
  return result;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, QuarnelError> compress_stored(
    std::span<const float> samples, const CompressionOptions& options, const StoreOptions& store,
    unsigned threads) {
  if (!store.trailer) return compress(samples, options, threads, store.deflate_level);
  if (auto checked = check_compressible(samples.size(), options); !checked) {
    return Unexpected(checked.error());
  }
  const Trailer t = mask_for(samples, store);
  std::vector<float> stand_ins;
  if (!t.mask.empty()) stand_ins = held(samples, t);
  auto stream = compress(t.mask.empty() ? samples : std::span<const float>(stand_ins), options,
                         threads, store.deflate_level);
  if (!stream) return stream;
  if (auto ok = append_trailer(*stream, t); !ok) return Unexpected(ok.error());
  return stream;
}

std::expected<std::vector<std::uint8_t>, QuarnelError> compress_stored(
    std::span<const double> samples, const CompressionOptions& options, const StoreOptions& store,
    unsigned threads) {
  // A signal refused for its length alone costs no conversion.
  if (auto checked = check_compressible(samples.size(), options); !checked) {
    return Unexpected(checked.error());
  }
  if (!store.trailer) {
    auto rounded = narrowed(samples);
    if (!rounded) return Unexpected(rounded.error());
    return compress(*rounded, options, threads, store.deflate_level);
  }
  const Trailer t = mask_for(samples, store);
  auto rounded = t.mask.empty() ? narrowed(samples) : narrowed(held(samples, t));
  if (!rounded) return Unexpected(rounded.error());
  auto stream = compress(*rounded, options, threads, store.deflate_level);
  if (!stream) return stream;
  if (auto ok = append_trailer(*stream, t); !ok) return Unexpected(ok.error());
  return stream;
}

std::expected<BoundedResult, QuarnelError> compress_bounded_stored(std::span<const float> samples,
                                                                   const BoundedOptions& options,
                                                                   const StoreOptions& store,
                                                                   unsigned threads) {
  return bounded_stored(samples, options, store, threads);
}

std::expected<BoundedResult, QuarnelError> compress_bounded_stored(std::span<const double> samples,
                                                                   const BoundedOptions& options,
                                                                   const StoreOptions& store,
                                                                   unsigned threads) {
  return bounded_stored(samples, options, store, threads);
}

}  // namespace quarnel

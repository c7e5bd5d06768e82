// The encoders as storage uses them: the mask taken out of the signal, the
// plain or bounded encoder on what is left, and the trailer appended.
#include "quarnel/store.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "quarnel/bounded/bounded.h"
#include "quarnel/bounded/finite_range.h"
#include "quarnel/compressor.h"
#include "quarnel/quarnel.h"
#include "quarnel/store/corrections.h"
#include "quarnel/trailer.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

// A fill value inside the signal's range is also a value the signal takes
// (0 in quiet audio, a dry spell, a sensor's resting level). Masking every
// sample equal to it would cut the signal up and grow the trailer, so there
// the fill is coded as itself, as data within the target, and the mask keeps
// only the runs of it that stand for samples never written, so that those
// come back exactly: runs at either end (a chunk's unwritten head or tail)
// and long runs elsewhere. A fill outside the range, beyond a margin, is
// masked wherever it is and coded as a stand-in.
//
// Within this share of the others' width beyond their range a fill counts as
// inside: coding it widens the range that little.
constexpr double kFillMargin = 1.0 / 8;
// Runs of the fill this long are masked wherever they are. Each costs the
// trailer a few bytes: at 64, the dry spells of a rain series cost it 3.5 %
// of its ratio, at 256 nothing measurable (bench/fill_value.py).
constexpr std::uint64_t kLongFillRun = 256;

template <typename T>
bool holds_fill(const Trailer& t, const MaskRun& r, double fill) {
  const std::uint64_t bits = t.values[r.value];
  T v;
  if constexpr (sizeof(T) == 4) {
    v = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  } else {
    v = std::bit_cast<double>(bits);
  }
  return std::isfinite(v) && static_cast<double>(v) == fill;
}

// Whether `fill` lies inside the range of the signal's other finite
// samples; if so, the runs of it the mask need not keep are taken out.
template <typename T>
bool fill_inside(std::span<const T> samples, double fill, Trailer& t) {
  if (std::none_of(t.mask.begin(), t.mask.end(),
                   [&](const MaskRun& r) { return holds_fill<T>(t, r, fill); })) {
    return false;
  }
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (const T x : samples) {
    const auto v = static_cast<double>(x);
    if (std::isfinite(v) && v != fill) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  const double margin = (hi - lo) * kFillMargin;
  if (!(fill >= lo - margin && fill <= hi + margin)) return false;
  const std::uint64_t n = samples.size();
  Trailer kept;
  kept.value_width = t.value_width;
  for (const MaskRun& r : t.mask) {
    if (holds_fill<T>(t, r, fill) && r.length < kLongFillRun && r.start != 0 &&
        r.start + r.length != n) {
      continue;
    }
    const std::uint64_t bits = t.values[r.value];
    const auto at = std::find(kept.values.begin(), kept.values.end(), bits);
    const auto index = static_cast<std::uint32_t>(at - kept.values.begin());
    if (at == kept.values.end()) kept.values.push_back(bits);
    kept.mask.push_back({r.start, r.length, index});
  }
  t = std::move(kept);
  return true;
}

// The trailer of a signal, and the masked runs its encoders code as
// stand-ins: all of them but a fill inside the range, coded as itself.
struct Masked {
  Trailer trailer;
  std::vector<MaskRun> stand_in;
};

template <typename T>
Masked mask_for(std::span<const T> samples, const StoreOptions& store) {
  Masked m{mask_of(samples, store.fill_value), {}};
  Trailer& t = m.trailer;
  const bool inside = store.fill_value && !std::isnan(*store.fill_value) && !t.mask.empty() &&
                      fill_inside(samples, *store.fill_value, t);
  for (const MaskRun& r : t.mask) {
    if (!inside || !holds_fill<T>(t, r, *store.fill_value)) m.stand_in.push_back(r);
  }
  t.sample_rate = store.sample_rate;
  t.channels = store.channels;
  t.source_format = store.source_format;
  return m;
}

// The runs held at the unmasked value before them, for the plain encoder,
// which would otherwise code NaN as 0 and +inf as 1.
template <typename T>
std::vector<T> held(std::span<const T> samples, std::span<const MaskRun> runs) {
  std::vector<T> out(samples.begin(), samples.end());
  std::uint64_t first = 0;  // the first sample of no run
  for (const MaskRun& r : runs) {
    if (r.start > first) break;
    first = r.start + r.length;
  }
  const T lead = first < out.size() ? out[first] : T(0);
  for (const MaskRun& r : runs) {
    // Runs ascend, so the sample before a run already holds its stand-in.
    const T before = r.start > 0 ? out[r.start - 1] : lead;
    for (auto i = r.start; i < r.start + r.length; ++i) out[i] = before;
  }
  return out;
}

// The float32 samples the plain encoder codes: float64 ones rounded, after
// the check that they fit.
std::expected<std::vector<float>, QuarnelError> narrowed(std::span<const double> samples) {
  QUARNEL_TRY(check_float32_range(samples));
  return std::vector<float>(samples.begin(), samples.end());
}

// NaN over the runs, which the bounded encoder treats as outside every
// target and holds at its neighbour.
template <typename T>
std::vector<T> unmeasured(std::span<const T> samples, std::span<const MaskRun> runs) {
  std::vector<T> out(samples.begin(), samples.end());
  for (const MaskRun& r : runs) {
    for (auto i = r.start; i < r.start + r.length; ++i) {
      out[i] = std::numeric_limits<T>::quiet_NaN();
    }
  }
  return out;
}

// Beyond this share of corrected samples, or below this many samples, where
// the trailer's fixed cost weighs, the plain search is tried too.
constexpr double kManyCorrections = 0.10;
constexpr std::size_t kFewSamples = 1 << 16;

template <typename T>
std::expected<BoundedResult, QuarnelError> bounded_stored(std::span<const T> samples,
                                                          const BoundedOptions& options,
                                                          const StoreOptions& store,
                                                          unsigned threads) {
  if (!store.trailer) return compress_bounded(samples, options, threads);
  const Trailer t = mask_for(samples, store).trailer;
  // Only a fill value adds to what the encoder leaves out by itself. Every
  // masked run is left out, a fill inside the range too: a chunk's padding
  // must not count in its PSNR.
  std::vector<T> cleared;
  std::span<const T> input = samples;
  if (store.fill_value && !t.mask.empty()) {
    cleared = unmeasured(samples, std::span<const MaskRun>(t.mask));
    input = cleared;
  }
  QUARNEL_TRY(check_error_target(options.target, options.value));
  const FiniteRange<T> range = finite_range(input);
  // The trailer after a stream: the mask and metadata, the target and what
  // the stream reaches, and its corrections.
  const auto finish =
      [&](BoundedResult r,
          std::optional<Corrections> c) -> std::expected<BoundedResult, QuarnelError> {
    Trailer full = t;
    if (c && (!c->list.empty() || c->grid)) full.corrections = std::move(*c);
    full.target = TargetRecord{options.target, options.value, r.max_error, r.psnr};
    if (range.finite > 0) {
      full.signal_range = std::pair{static_cast<double>(range.lo), static_cast<double>(range.hi)};
    }
    QUARNEL_TRY(append_trailer(r.stream, full));
    return r;
  };
  // An exact stream meets any PSNR: on a grid that every sample lies on,
  // rounding to it gives one, made first only where it may be the smaller.
  BoundedOptions aimed = options;
  bool aim_first = true;
  if (options.target == ErrorTarget::psnr) {
    aimed.target = ErrorTarget::max_error;
    aimed.value = 0.0;
    aim_first = store.corrections && exact_may_win(input, range, options.value);
  }
  std::optional<std::expected<BoundedResult, QuarnelError>> with;
  std::size_t count = 0;  // of its corrections
  const auto make_with = [&]() -> std::expected<void, QuarnelError> {
    QUARNEL_TRY_ASSIGN(corrected,
                       with_corrections(input, aimed, range, store.corrections, threads));
    if (corrected) {
      count = corrected->second.list.size();
      with = finish(std::move(corrected->first), std::move(corrected->second));
    }
    return {};
  };
  if (aim_first) {
    QUARNEL_TRY(make_with());
    if (with && !*with) return *with;
    // Few corrections on a long signal: the plain search would not win, but
    // for a PSNR, which it may meet more coarsely than exactly.
    if (with && options.target != ErrorTarget::psnr && samples.size() >= kFewSamples &&
        static_cast<double>(count) <= kManyCorrections * static_cast<double>(samples.size())) {
      return *with;
    }
  }
  auto plain = compress_bounded(input, options, threads);
  if (!plain) {
    if (plain.error().kind() != QuarnelErrorKind::BoundUnreachable) return plain;
    if (!aim_first) QUARNEL_TRY(make_with());
    if (with) return *with;
    // The figure a refusal names is what the corrections would meet.
    if (store.corrections) {
      QUARNEL_TRY_ASSIGN(tightest, tightest_corrected(input, options, range, threads));
      if (tightest) {
        return std::unexpected(tightest_unreachable(options.target, options.value, *tightest));
      }
    }
    return plain;
  }
  auto result = finish(std::move(*plain), std::nullopt);
  if (result && with && (*with)->stream.size() < result->stream.size()) return *with;
  return result;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, QuarnelError> compress_stored(
    std::span<const float> samples, const CompressionOptions& options, const StoreOptions& store,
    unsigned threads) {
  if (!store.trailer) return compress(samples, options, threads, store.deflate_level);
  QUARNEL_TRY(check_compressible(samples.size(), options));
  const Masked m = mask_for(samples, store);
  std::vector<float> stand_ins;
  if (!m.stand_in.empty()) stand_ins = held(samples, std::span<const MaskRun>(m.stand_in));
  auto stream = compress(m.stand_in.empty() ? samples : std::span<const float>(stand_ins), options,
                         threads, store.deflate_level);
  if (!stream) return stream;
  QUARNEL_TRY(append_trailer(*stream, m.trailer));
  return stream;
}

std::expected<std::vector<std::uint8_t>, QuarnelError> compress_stored(
    std::span<const double> samples, const CompressionOptions& options, const StoreOptions& store,
    unsigned threads) {
  // A signal refused for its length alone costs no conversion.
  QUARNEL_TRY(check_compressible(samples.size(), options));
  if (!store.trailer) {
    QUARNEL_TRY_ASSIGN(rounded, narrowed(samples));
    return compress(rounded, options, threads, store.deflate_level);
  }
  const Masked m = mask_for(samples, store);
  QUARNEL_TRY_ASSIGN(rounded, m.stand_in.empty()
                                  ? narrowed(samples)
                                  : narrowed(held(samples, std::span<const MaskRun>(m.stand_in))));
  auto stream = compress(rounded, options, threads, store.deflate_level);
  if (!stream) return stream;
  QUARNEL_TRY(append_trailer(*stream, m.trailer));
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

}  // namespace QUARNEL_ABI
}  // namespace quarnel

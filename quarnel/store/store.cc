// The encoders as storage uses them: the mask taken out of the signal, the
// plain or bounded encoder on what is left, and the trailer appended.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "quarnel/bounded/bounded.h"
#include "quarnel/compressor.h"
#include "quarnel/bounded/finite_range.h"
#include "quarnel/store/grid.h"
#include "quarnel/quarnel.h"
#include "quarnel/trailer.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

using Unexpected = std::unexpected<QuarnelError>;

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
  if (auto fits = check_float32_range(samples); !fits) return Unexpected(fits.error());
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

// A largest-error target costs a transform coder dearly: its errors spread
// like a bell, so the step must keep the rare widest one under the bound.
// With the trailer it can aim at an RMS error of a share of the bound
// instead, where a few percent of the samples land beyond it, and list those
// as corrections. Readers that ignore the trailer see the coarser error.
// Half the bound gave the smallest streams on recorded ECG and speech.
constexpr double kRmsShare = 0.5;
// Beyond this share of corrected samples, or below this many samples, where
// the trailer's fixed cost weighs, the plain search is tried too.
constexpr double kManyCorrections = 0.10;
constexpr std::size_t kFewSamples = 1 << 16;

// The corrections that bring every finite sample of a decoded signal within
// `bound` of `samples`, taken as the decoder's samples arrive, in order, and
// in the same pass what the corrected samples achieve against the finite
// ones, as compress_bounded() reports it (their errors taken in sample
// order). On a grid, a corrected sample need only come within its reach,
// and is then rounded to the grid as readers round it. Fails when float32
// cannot place some sample within the bound.
template <typename T>
class Corrector {
 public:
  // `spacing` is float32's between the largest magnitudes of the samples.
  Corrector(std::span<const T> samples, double bound, std::optional<GridFit> grid, double spacing)
      : samples_(samples), bound_(bound), reach_(grid ? grid->reach : bound) {
    // Nearly twice the reach: a sample up to three reaches off takes one
    // step, and lands within it, with room for float32 rounding, which a
    // reach of a few float32 steps needs in full.
    c_.quantum = reach_ * (2.0 - 1.0 / 128);
    if (2.0 * reach_ - spacing > 0.0) c_.quantum = std::min(c_.quantum, 2.0 * reach_ - spacing);
    if (grid) c_.grid = grid->grid;
  }

  void add(std::size_t from, std::span<const float> decoded) {
    if (from == 0) restart();  // another candidate's decode
    if (failed_) return;
    const auto samples = samples_.subspan(from, decoded.size());
    // The sums and limits in locals, not in members that the list's growth
    // might be taken to change: each addition would wait on a store and a
    // load.
    double bare = c_.bare_max_error, largest = max_error_, sum = sum_;
    std::size_t finite = finite_;
    const double reach = reach_, bound = bound_;
    const std::optional<Grid> grid = c_.grid;
    for (std::size_t i = 0; i < decoded.size(); ++i) {
      const double x = static_cast<double>(samples[i]);
      if (!std::isfinite(x)) continue;
      const double miss = x - static_cast<double>(decoded[i]);
      double e = std::abs(miss);
      bare = std::max(bare, e);
      float y = decoded[i];
      if (!(e <= reach)) [[unlikely]] {
        const auto placed = place(x, y, miss);
        if (!placed) {
          failed_ = true;
          return;
        }
        if (blocks_.empty() || blocks_.back().size() == kBlock) {
          blocks_.emplace_back().reserve(kBlock);
        }
        blocks_.back().push_back({from + i, placed->first});
        y = placed->second;
        e = std::abs(x - static_cast<double>(y));
      }
      if (grid) {
        y = on_grid(y, *grid);
        e = std::abs(x - static_cast<double>(y));
        if (!(e <= bound)) [[unlikely]] {
          failed_ = true;
          return;
        }
      }
      largest = std::max(largest, e);
      sum += e * e;
      ++finite;
    }
    c_.bare_max_error = bare;
    max_error_ = largest;
    sum_ = sum;
    finite_ = finite;
  }

  // The corrections, and what they achieve into `r`; nothing when some
  // sample could not be placed.
  std::optional<Corrections> result(double range, BoundedResult& r) && {
    if (failed_) return std::nullopt;
    const double rms = finite_ == 0 ? 0.0 : std::sqrt(sum_ / static_cast<double>(finite_));
    r.max_error = max_error_;
    r.psnr = rms == 0.0 ? std::numeric_limits<double>::infinity() : 20.0 * std::log10(range / rms);
    std::size_t count = 0;
    for (const auto& block : blocks_) count += block.size();
    c_.list.reserve(count);
    for (auto& block : blocks_) {
      c_.list.insert(c_.list.end(), block.begin(), block.end());
      block = {};
    }
    return std::move(c_);
  }

 private:
  // The step count that moves decoded sample y within the reach of x, and
  // where it lands: half a quantum from the value at most, or a neighbour
  // where the float rounding of the sum lands outside.
  std::optional<std::pair<std::int64_t, float>> place(double x, float y, double miss) const {
    // Past 2^52 quanta the sum's own rounding outgrows the reach.
    const double count = std::round(miss / c_.quantum);
    if (!(std::abs(count) < 0x1p52)) return std::nullopt;
    const auto steps = static_cast<std::int64_t>(count);
    for (const std::int64_t k : {steps, steps - 1, steps + 1}) {
      const float moved = corrected_sample(y, k, c_.quantum);
      if (k != 0 && std::abs(x - static_cast<double>(moved)) <= reach_) return std::pair{k, moved};
    }
    return std::nullopt;
  }

  void restart() {
    c_.bare_max_error = 0.0;
    blocks_.clear();
    failed_ = false;
    max_error_ = sum_ = 0.0;
    finite_ = 0;
  }

  // The list grows in blocks while the encoder's memory is held, not by
  // doubling one vector, whose copies would briefly hold it three times
  // over; it is joined once that memory is gone.
  static constexpr std::size_t kBlock = 4096;

  std::span<const T> samples_;
  double bound_;
  double reach_;
  Corrections c_;
  std::vector<std::vector<Correction>> blocks_;
  bool failed_ = false;
  double max_error_ = 0.0;
  double sum_ = 0.0;
  std::size_t finite_ = 0;
};

// float32's spacing at the largest magnitude of a range: no decode is finer.
template <typename T>
double spacing_of(const FiniteRange<T>& range) {
  const auto top = static_cast<float>(std::max(std::abs(static_cast<double>(range.lo)),
                                               std::abs(static_cast<double>(range.hi))));
  return static_cast<double>(std::nextafter(top, std::numeric_limits<float>::infinity()) - top);
}

// The corrected coarser stream for a largest-error target, or nothing where
// corrections are not `allowed`, do not apply or cannot place a sample. A
// bound of 0 is met on a grid every sample lies on exactly. Where no stream
// comes as close as the corrections aim, the closest one is corrected.
template <typename T>
std::expected<std::optional<std::pair<BoundedResult, Corrections>>, QuarnelError> with_corrections(
    std::span<const T> input, const BoundedOptions& options, const FiniteRange<T>& range,
    bool allowed, unsigned threads) {
  using None = std::optional<std::pair<BoundedResult, Corrections>>;
  const double width = static_cast<double>(range.hi) - static_cast<double>(range.lo);
  const double bound =
      options.target == ErrorTarget::max_error ? options.value : options.value * width;
  if (!allowed || options.target == ErrorTarget::psnr || !(width > 0.0) || !(bound >= 0.0) ||
      !std::isfinite(width)) {
    return None();
  }
  // A signal on a grid lets the stream miss by more than the bound where
  // rounding to the grid brings it back within.
  const std::optional<GridFit> grid =
      grid_of(input, static_cast<double>(range.lo), static_cast<double>(range.hi), bound);
  for (const std::optional<GridFit>& fit : {grid, std::optional<GridFit>()}) {
    const double reach = fit ? fit->reach : bound;
    if (!(reach > 0.0)) break;
    BoundedOptions coarse = options;
    coarse.target = ErrorTarget::psnr;
    coarse.value = std::min(20.0 * std::log10(width / (reach * kRmsShare)),
                            std::numeric_limits<double>::max());
    Corrector<T> corrector(input, bound, fit, spacing_of(range));
    auto result = compress_bounded_decoded(
        input, range, coarse, threads,
        [&](std::size_t from, std::span<const float> decoded) { corrector.add(from, decoded); },
        true);
    if (!result) {
      if (result.error().kind() == QuarnelErrorKind::BoundUnreachable) return None();
      return Unexpected(result.error());
    }
    auto corrections = std::move(corrector).result(width, *result);
    if (corrections) return None(std::pair{std::move(*result), std::move(*corrections)});
    // A grid point that float32 rounding puts past the bound: without it.
    if (!fit) break;
  }
  return None();
}

// Where a largest-error target is refused, the tightest bound the
// corrections meet, tried rather than argued: float32 cannot place a float64
// sample closer than its own rounding, and the decoder's float32 steps are no
// finer than half a float32 step at the largest magnitude. Nothing when none
// of a few is met.
template <typename T>
std::expected<std::optional<double>, QuarnelError> tightest_corrected(std::span<const T> input,
                                                                      const BoundedOptions& options,
                                                                      const FiniteRange<T>& range,
                                                                      unsigned threads) {
  const double width = static_cast<double>(range.hi) - static_cast<double>(range.lo);
  if (options.target == ErrorTarget::psnr || !(width > 0.0) || !std::isfinite(width)) {
    return std::nullopt;
  }
  double rounding = 0.0;
  for (const T x : input) {
    if (std::isfinite(x)) {
      rounding = std::max(rounding, std::abs(static_cast<double>(static_cast<float>(x)) -
                                             static_cast<double>(x)));
    }
  }
  // Above what was refused already.
  const double refused =
      options.target == ErrorTarget::max_error ? options.value : options.value * width;
  double bound = std::max({rounding, spacing_of(range) / 2, refused * (1.0 + 1e-9)});
  constexpr int kTries = 4;
  for (int k = 0; k < kTries; ++k, bound *= 2) {
    BoundedOptions tried = options;
    tried.target = ErrorTarget::max_error;
    tried.value = named_figure(bound);
    if (options.target == ErrorTarget::relative_error) {
      tried.target = ErrorTarget::relative_error;
      tried.value = named_figure(bound / width);
    }
    auto met = with_corrections(input, tried, range, true, threads);
    if (!met) return Unexpected(met.error());
    if (*met) return std::optional<double>(tried.value);
  }
  return std::nullopt;
}

// An exact stream on a grid is its coarse stream, aimed at an RMS error of a
// share of the grid's reach, with corrections: a PSNR target this far below
// that aim is met by a smaller stream of its own, and the exact one is not
// worth making.
constexpr double kExactMargin = 3.0;  // dB

template <typename T>
bool exact_may_win(std::span<const T> input, const FiniteRange<T>& range, double psnr) {
  const double width = static_cast<double>(range.hi) - static_cast<double>(range.lo);
  if (!(width > 0.0) || !std::isfinite(width)) return false;
  const auto grid =
      grid_of(input, static_cast<double>(range.lo), static_cast<double>(range.hi), 0.0);
  return grid && psnr >= 20.0 * std::log10(width / (grid->reach * kRmsShare)) - kExactMargin;
}

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
  if (auto valid = check_error_target(options.target, options.value); !valid) {
    return Unexpected(valid.error());
  }
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
    if (auto ok = append_trailer(r.stream, full); !ok) return Unexpected(ok.error());
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
    auto corrected = with_corrections(input, aimed, range, store.corrections, threads);
    if (!corrected) return Unexpected(corrected.error());
    if (*corrected) {
      count = (*corrected)->second.list.size();
      with = finish(std::move((*corrected)->first), std::move((*corrected)->second));
    }
    return {};
  };
  if (aim_first) {
    if (auto made = make_with(); !made) return Unexpected(made.error());
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
    if (!aim_first) {
      if (auto made = make_with(); !made) return Unexpected(made.error());
    }
    if (with) return *with;
    // The figure a refusal names is what the corrections would meet.
    if (store.corrections) {
      const auto tightest = tightest_corrected(input, options, range, threads);
      if (!tightest) return Unexpected(tightest.error());
      if (*tightest) {
        return Unexpected(tightest_unreachable(options.target, options.value, **tightest));
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
  if (auto checked = check_compressible(samples.size(), options); !checked) {
    return Unexpected(checked.error());
  }
  const Masked m = mask_for(samples, store);
  std::vector<float> stand_ins;
  if (!m.stand_in.empty()) stand_ins = held(samples, std::span<const MaskRun>(m.stand_in));
  auto stream = compress(m.stand_in.empty() ? samples : std::span<const float>(stand_ins),
                         options, threads, store.deflate_level);
  if (!stream) return stream;
  if (auto ok = append_trailer(*stream, m.trailer); !ok) return Unexpected(ok.error());
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
  const Masked m = mask_for(samples, store);
  auto rounded = m.stand_in.empty()
                     ? narrowed(samples)
                     : narrowed(held(samples, std::span<const MaskRun>(m.stand_in)));
  if (!rounded) return Unexpected(rounded.error());
  auto stream = compress(*rounded, options, threads, store.deflate_level);
  if (!stream) return stream;
  if (auto ok = append_trailer(*stream, m.trailer); !ok) return Unexpected(ok.error());
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

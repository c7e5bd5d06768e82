// The trailer's corrections: found by the storage encoders for a
// largest-error target, written and read as a record, and applied.
#include "quarnel/store/corrections.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/bounded/bounded.h"
#include "quarnel/raw_deflate.h"
#include "quarnel/store/grid.h"
#include "quarnel/store/record_io.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

// ----------------------------------------------------------------------------
// Finding them

// A largest-error target costs a transform coder dearly: its errors spread
// like a bell, so the step must keep the rare widest one under the bound.
// With the trailer it can aim at an RMS error of a share of the bound
// instead, where a few percent of the samples land beyond it, and list those
// as corrections. Readers that ignore the trailer see the coarser error.
// Half the bound gave the smallest streams on recorded ECG and speech.
constexpr double kRmsShare = 0.5;

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
  const auto top = static_cast<float>(
      std::max(std::abs(static_cast<double>(range.lo)), std::abs(static_cast<double>(range.hi))));
  return static_cast<double>(std::nextafter(top, std::numeric_limits<float>::infinity()) - top);
}

template <typename T>
std::expected<std::optional<CorrectedStream>, QuarnelError> with_corrections_impl(
    std::span<const T> input, const BoundedOptions& options, const FiniteRange<T>& range,
    bool allowed, unsigned threads) {
  using None = std::optional<CorrectedStream>;
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
      return std::unexpected(result.error());
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
// finer than half a float32 step at the largest magnitude.
template <typename T>
std::expected<std::optional<double>, QuarnelError> tightest_corrected_impl(
    std::span<const T> input, const BoundedOptions& options, const FiniteRange<T>& range,
    unsigned threads) {
  const double width = static_cast<double>(range.hi) - static_cast<double>(range.lo);
  if (options.target == ErrorTarget::psnr || !(width > 0.0) || !std::isfinite(width)) {
    return std::nullopt;
  }
  double rounding = 0.0;
  for (const T x : input) {
    if (std::isfinite(x)) {
      rounding = std::max(
          rounding, std::abs(static_cast<double>(static_cast<float>(x)) - static_cast<double>(x)));
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
    QUARNEL_TRY_ASSIGN(met, with_corrections_impl(input, tried, range, true, threads));
    if (met) return std::optional<double>(tried.value);
  }
  return std::nullopt;
}

// An exact stream on a grid is its coarse stream, aimed at an RMS error of a
// share of the grid's reach, with corrections: a PSNR target this far below
// that aim is met by a smaller stream of its own, and the exact one is not
// worth making.
constexpr double kExactMargin = 3.0;  // dB

template <typename T>
bool exact_may_win_impl(std::span<const T> input, const FiniteRange<T>& range, double psnr) {
  const double width = static_cast<double>(range.hi) - static_cast<double>(range.lo);
  if (!(width > 0.0) || !std::isfinite(width)) return false;
  const auto grid =
      grid_of(input, static_cast<double>(range.lo), static_cast<double>(range.hi), 0.0);
  return grid && psnr >= 20.0 * std::log10(width / (grid->reach * kRmsShare)) - kExactMargin;
}

}  // namespace

std::expected<std::optional<CorrectedStream>, QuarnelError> with_corrections(
    std::span<const float> input, const BoundedOptions& options, const FiniteRange<float>& range,
    bool allowed, unsigned threads) {
  return with_corrections_impl(input, options, range, allowed, threads);
}
std::expected<std::optional<CorrectedStream>, QuarnelError> with_corrections(
    std::span<const double> input, const BoundedOptions& options, const FiniteRange<double>& range,
    bool allowed, unsigned threads) {
  return with_corrections_impl(input, options, range, allowed, threads);
}

std::expected<std::optional<double>, QuarnelError> tightest_corrected(
    std::span<const float> input, const BoundedOptions& options, const FiniteRange<float>& range,
    unsigned threads) {
  return tightest_corrected_impl(input, options, range, threads);
}
std::expected<std::optional<double>, QuarnelError> tightest_corrected(
    std::span<const double> input, const BoundedOptions& options, const FiniteRange<double>& range,
    unsigned threads) {
  return tightest_corrected_impl(input, options, range, threads);
}

bool exact_may_win(std::span<const float> input, const FiniteRange<float>& range, double psnr) {
  return exact_may_win_impl(input, range, psnr);
}
bool exact_may_win(std::span<const double> input, const FiniteRange<double>& range, double psnr) {
  return exact_may_win_impl(input, range, psnr);
}

// ----------------------------------------------------------------------------
// Their record

// The list in three parts, each coded the way it is cheapest: the gaps
// between indices as varints, DEFLATEd; the signs of the steps as bits; and
// the step counts less one as varints, DEFLATEd (nearly all 0: the quantum is
// about twice the bound). Interleaved, gaps and steps would share one code and
// cost a bit or two more per correction.
std::expected<std::vector<std::uint8_t>, QuarnelError> corrections_body(const Corrections& c) {
  std::vector<std::uint8_t> gaps, signs((c.list.size() + 7) / 8), sizes;
  Writer g(gaps), z(sizes);
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < c.list.size(); ++i) {
    const Correction& k = c.list[i];
    g.varint(k.index - next);
    if (k.steps < 0) signs[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    z.varint((k.steps < 0 ? 0 - static_cast<std::uint64_t>(k.steps)
                          : static_cast<std::uint64_t>(k.steps)) -
             1);
    next = k.index + 1;
  }
  std::vector<std::uint8_t> body, packed;
  Writer w(body);
  if (c.grid) {
    w.f64(c.grid->origin);
    w.f64(c.grid->step);
  }
  w.f64(c.quantum);
  w.f64(c.bare_max_error);
  w.varint(c.list.size());
  w.varint(gaps.size());
  QUARNEL_TRY(deflate_append(gaps, packed));
  w.varint(packed.size());
  w.bytes(packed);
  w.bytes(signs);
  w.varint(sizes.size());
  QUARNEL_TRY(deflate_append(sizes, body));
  return body;
}

std::expected<void, QuarnelError> check_corrections_list(const Corrections& c,
                                                         std::uint64_t sample_count) {
  std::uint64_t next = 0;
  for (const Correction& k : c.list) {
    if (k.index < next || k.index >= sample_count || k.steps == 0) {
      return std::unexpected(QuarnelError::unsupported_configuration(
          "Corrections must name ascending samples within the signal, each moved"));
    }
    next = k.index + 1;
  }
  return {};
}

std::string corrections_fault(const Corrections& c) {
  if (!(std::isfinite(c.quantum) && c.quantum > 0.0))
    return "correction quantum " + text(c.quantum);
  if (!(std::isfinite(c.bare_max_error) && c.bare_max_error >= 0.0)) {
    return "uncorrected error " + text(c.bare_max_error);
  }
  if (c.grid &&
      !(std::isfinite(c.grid->origin) && std::isfinite(c.grid->step) && c.grid->step > 0.0)) {
    return "grid of step " + text(c.grid->step) + " from " + text(c.grid->origin);
  }
  return {};
}

namespace {

// A DEFLATEd list of `size` bytes holding `count` varints, checked before it
// is inflated: a varint takes one to ten bytes, and DEFLATE expands by 1032:1
// at most, so a forged size allocates nothing large.
std::expected<InflatedBytes, QuarnelError> inflated_list(std::span<const std::uint8_t> packed,
                                                         std::uint64_t size, std::uint64_t count) {
  QUARNEL_CHECK(size >= count && size <= 10 * count && size <= 1032 * packed.size() + 1024,
                damaged("corrections list of " + std::to_string(count) + " in " +
                        std::to_string(size) + " bytes"));
  auto list = inflate_payload(packed, size);
  if (!list || list->size != size) return std::unexpected(damaged("corrections do not inflate"));
  return list;
}

}  // namespace

std::expected<Corrections, QuarnelError> read_corrections(std::span<const std::uint8_t> body,
                                                          std::uint64_t sample_count,
                                                          CorrectionsLayout layout) {
  const bool interleaved = layout == CorrectionsLayout::interleaved;
  Reader r(body);
  Corrections c;
  if (layout == CorrectionsLayout::on_grid) {
    QUARNEL_TRY_ASSIGN(origin, r.f64());
    QUARNEL_TRY_ASSIGN(step, r.f64());
    c.grid = Grid{origin, step};
  }
  QUARNEL_TRY_ASSIGN(quantum, r.f64());
  QUARNEL_TRY_ASSIGN(bare, r.f64());
  c.quantum = quantum;
  c.bare_max_error = bare;
  QUARNEL_TRY_ASSIGN(count, r.varint());
  QUARNEL_CHECK(count <= sample_count, damaged("more corrections than samples"));
  QUARNEL_TRY_ASSIGN(gaps_size, r.varint());
  std::span<const std::uint8_t> gaps_packed, signs, sizes_packed;
  std::uint64_t sizes_size = 0;
  if (interleaved) {
    QUARNEL_TRY_ASSIGN(all, r.take(r.left()));
    gaps_packed = all;
  } else {
    QUARNEL_TRY_ASSIGN(gaps_packed_size, r.varint());
    QUARNEL_TRY_ASSIGN(g, r.take(gaps_packed_size));
    QUARNEL_TRY_ASSIGN(b, r.take((count + 7) / 8));
    QUARNEL_TRY_ASSIGN(z, r.varint());
    QUARNEL_TRY_ASSIGN(rest, r.take(r.left()));
    gaps_packed = g, signs = b, sizes_size = z, sizes_packed = rest;
    QUARNEL_CHECK(count % 8 == 0 || signs.back() >> (count % 8) == 0,
                  damaged("corrections sign bits beyond the count"));
  }
  QUARNEL_TRY_ASSIGN(gaps, inflated_list(gaps_packed, gaps_size, interleaved ? 2 * count : count));
  InflatedBytes sizes;
  if (!interleaved) {
    QUARNEL_TRY_ASSIGN(z, inflated_list(sizes_packed, sizes_size, count));
    sizes = std::move(z);
  }
  Reader l(gaps.bytes()), m(sizes.bytes());
  c.list.reserve(static_cast<std::size_t>(count));
  std::uint64_t next = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    QUARNEL_TRY_ASSIGN(gap, l.varint());
    QUARNEL_CHECK(gap < sample_count - next, damaged("correction beyond the signal"));
    std::int64_t steps = 0;
    if (interleaved) {
      QUARNEL_TRY_ASSIGN(zigzag, l.varint());
      steps = static_cast<std::int64_t>(zigzag >> 1) ^ -static_cast<std::int64_t>(zigzag & 1);
      QUARNEL_CHECK(steps != 0, damaged("correction of no steps"));
    } else {
      QUARNEL_TRY_ASSIGN(less_one, m.varint());
      const bool negative = signs[i / 8] >> (i % 8) & 1;
      // Down to INT64_MIN, whose size has no positive twin.
      QUARNEL_CHECK(less_one < (negative ? std::uint64_t{1} << 63 : std::uint64_t{INT64_MAX}),
                    damaged("correction too large"));
      const std::uint64_t size = less_one + 1;
      steps = static_cast<std::int64_t>(negative ? 0 - size : size);
    }
    c.list.push_back({next + gap, steps});
    next += gap + 1;
  }
  QUARNEL_CHECK(l.done() && m.done(), damaged("corrections list longer than its count"));
  return c;
}

// A checksum guards against accidents, not forgery. A writer measures the
// uncorrected error against the signal, so it lies within the stored
// range's reach; a correction moves a sample by about that error, in quanta
// under twice it; its grid starts at the signal's smallest value and has
// from one to 2^24 steps over its range.
std::string implausible_corrections(const Trailer& t, const QuarnelHeader& h) {
  if (!t.corrections) return {};
  const Corrections& c = *t.corrections;
  const double lo = h.min_value, hi = h.max_value;
  const double magnitude = std::max(std::abs(lo), std::abs(hi));
  if (!(c.bare_max_error <= 2 * (hi - lo) + magnitude)) {
    return "an uncorrected error of " + text(c.bare_max_error) + " for a range of [" + text(lo) +
           ", " + text(hi) + "]";
  }
  if (!c.list.empty() && !(c.quantum <= 2 * c.bare_max_error)) {
    return "a correction quantum of " + text(c.quantum) + " for an uncorrected error of " +
           text(c.bare_max_error);
  }
  for (const Correction& k : c.list) {
    if (!(std::abs(static_cast<double>(k.steps)) * c.quantum <= c.bare_max_error + 2 * c.quantum)) {
      return "a correction of " + std::to_string(k.steps) + " quanta of " + text(c.quantum) +
             " for an uncorrected error of " + text(c.bare_max_error);
    }
  }
  if (const auto& g = c.grid) {
    const auto [glo, ghi] = t.signal_range.value_or(std::pair<double, double>{lo, hi});
    const double width = ghi - glo;
    // float32 rounding of a float64 signal's range
    const double slack = 0x1p-20 * std::max(std::abs(glo), std::abs(ghi));
    if (!(g->step <= width + slack && g->step * 0x1p25 >= width &&
          g->origin >= glo - g->step - slack && g->origin <= ghi + g->step + slack)) {
      return "a grid of step " + text(g->step) + " from " + text(g->origin) + " for a range of [" +
             text(glo) + ", " + text(ghi) + "]";
    }
  }
  return {};
}

void apply_corrections(const Trailer& trailer, std::span<float> samples) {
  if (!trailer.corrections) return;
  const double quantum = trailer.corrections->quantum;
  for (const Correction& k : trailer.corrections->list) {
    samples[k.index] = corrected_sample(samples[k.index], k.steps, quantum);
  }
  if (const auto& grid = trailer.corrections->grid) {
    for (float& x : samples) x = on_grid(x, *grid);
  }
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel

#include "quarnel/bounded/band_statistics.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

// Exponent and three mantissa bits of a float's magnitude.
constexpr unsigned kBinShift = 20;
constexpr std::uint32_t kBinCount = 1u << (31 - kBinShift);
// Bins below this hold subnormals and zeros: no step the encoder uses keeps
// them, so they count as zeros.
constexpr std::uint32_t kFirstNormalBin = 1u << (23 - kBinShift);

double bin_edge(std::uint32_t bin) {
  return static_cast<double>(std::bit_cast<float>(bin << kBinShift));
}

// log2 to about 2e-4, enough for an estimate: the exponent plus a quartic
// fitted to log2 of the mantissa on [1, 2).
double fast_log2(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const double exponent = static_cast<double>(static_cast<int>(bits >> 52) - 1023);
  const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  return exponent +
         (-2.49684606 + (4.02854794 + (-2.08121416 + (0.62887362 - 0.07915816 * m) * m) * m) * m);
}

double entropy_term(double mass) {
  return mass > 0.0 ? mass * fast_log2(mass) : 0.0;
}

}  // namespace

BandStatistics::BandStatistics(std::span<const float> band) : count_(band.size()) {
  // Four histograms, summed after: neighbouring values often share a bin,
  // and one counter would make each increment wait for the one before.
  std::array<std::array<std::uint32_t, kBinCount>, 4> partial{};
  std::uint32_t top = 0;
  const auto magnitude = [&](std::size_t i) {
    const std::uint32_t m = std::bit_cast<std::uint32_t>(band[i]) & 0x7FFFFFFFu;
    top = std::max(top, m);
    return m >> kBinShift;
  };
  std::size_t i = 0;
  for (; i + 4 <= band.size(); i += 4) {
    ++partial[0][magnitude(i)];
    ++partial[1][magnitude(i + 1)];
    ++partial[2][magnitude(i + 2)];
    ++partial[3][magnitude(i + 3)];
  }
  for (; i < band.size(); ++i) ++partial[0][magnitude(i)];
  std::array<std::uint32_t, kBinCount> histogram{};
  for (const auto& p : partial) {
    for (std::uint32_t bin = 0; bin < kBinCount; ++bin) histogram[bin] += p[bin];
  }
  max_abs_ = std::bit_cast<float>(top);
  double count = 0.0, squares = 0.0;
  for (std::uint32_t bin = 0; bin < kBinCount; ++bin) {
    if (histogram[bin] == 0) continue;
    if (bin < kFirstNormalBin) {
      zeros_ += histogram[bin];
      continue;
    }
    const double lo = bin_edge(bin), hi = bin_edge(bin + 1);
    bins_.push_back({lo, hi, static_cast<double>(histogram[bin])});
    count_before_.push_back(count);
    squares_before_.push_back(squares);
    count += histogram[bin];
    squares += histogram[bin] * (lo * lo + lo * hi + hi * hi) / 3.0;
  }
  count_before_.push_back(count);
  squares_before_.push_back(squares);
}

// Walks the bins upwards and splits each over the quantisation cells it
// overlaps: cell 0 is [0, threshold * step), cell k >= 1 ends at
// (k + 1 - offset) * step and reconstructs as k * step. Cells are met in order, so
// one running mass per cell gives the entropy; a bin wider than a few cells
// fills the whole cells inside it in one step.
BandStatistics::Cost BandStatistics::cost(double step, double threshold, double offset) const {
  Cost result;
  if (count_ == 0) return result;
  const double dead = threshold * step;
  double sum_mass_log = 0.0;
  double nonzero = 0.0;
  std::int64_t cell = 0;
  // The bins wholly below the dead zone: their values are the error.
  const auto first = static_cast<std::size_t>(
      std::partition_point(bins_.begin(), bins_.end(), [&](const Bin& b) { return b.hi <= dead; }) -
      bins_.begin());
  double cell_mass = zeros_ + count_before_[first];
  result.squared_error = squares_before_[first];
  const auto enter = [&](std::int64_t k) {
    if (k != cell) {
      sum_mass_log += entropy_term(cell_mass);
      cell = k;
      cell_mass = 0.0;
    }
  };
  for (std::size_t i = first; i < bins_.size(); ++i) {
    const auto [lo, hi, count] = bins_[i];
    const double density = count / (hi - lo);
    // The cell holding lo; from there cells follow one another, counted
    // rather than recomputed from x, which rounding could leave in place.
    std::int64_t k =
        lo < dead ? 0 : std::max<std::int64_t>(1, static_cast<std::int64_t>(lo / step + offset));
    double x = lo;
    while (x < hi) {
      const double cell_end = k == 0 ? dead : (static_cast<double>(k) + 1.0 - offset) * step;
      const double end = std::min(cell_end, hi);
      const double centre = static_cast<double>(k) * step;
      const double a = x - centre, b = end - centre;
      enter(k);
      cell_mass += density * (end - x);
      if (k != 0) nonzero += density * (end - x);
      result.squared_error += density * (b * b * b - a * a * a) / 3.0;
      if (end >= hi) break;
      x = end;
      ++k;
      // Whole cells k ... k + full - 1 lie inside the bin.
      const double full = std::floor((hi - x) / step);
      if (full >= 2.0) {
        const double mass = density * step;
        sum_mass_log += entropy_term(cell_mass);
        sum_mass_log += full * entropy_term(mass);
        nonzero += full * mass;
        result.squared_error += full * density * step * step * step / 12.0;
        cell = k + static_cast<std::int64_t>(full) - 1;
        cell_mass = 0.0;
        k += static_cast<std::int64_t>(full);
        x += full * step;
      }
    }
  }
  sum_mass_log += entropy_term(cell_mass);
  const double n = static_cast<double>(count_);
  // The coder codes the low and the high bytes of the coefficients apart:
  // the low bytes carry the value and its sign, the high bytes (0 or 0xFF for
  // small values) the sign once more, at the binary entropy of a negative
  // value.
  const double negative = std::clamp(0.5 * nonzero / n, 1e-12, 0.5);
  const double high_bytes =
      -n * (negative * std::log2(negative) + (1.0 - negative) * std::log2(1.0 - negative));
  result.bits = std::max(0.0, n * std::log2(n) - sum_mass_log) + nonzero + high_bytes;
  return result;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel

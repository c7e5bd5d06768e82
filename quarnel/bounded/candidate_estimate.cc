// The estimates from the bands' histograms: a quantiser per band at a step,
// and a grid of steps walked for each level count.
#include "quarnel/bounded/candidate_estimate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>
#include <utility>

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

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

}  // namespace

double finest_step(const Decomposition& d, std::size_t levels) {
  float top = d.approximations[levels - 1].max_abs();
  for (std::size_t k = 0; k < levels; ++k) top = std::max(top, d.details[k].max_abs());
  return std::max(kFinestStep, static_cast<double>(top) / 32767.0 * (1.0 + 1e-6));
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

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

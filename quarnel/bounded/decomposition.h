// One wavelet's decomposition of the normalised signal: each band's
// statistics for the estimates, and, for the one wavelet and level count they
// pick, the coefficients themselves, all made in one arena.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "lumvet/lumvet.h"
#include "quarnel/band_layout.h"
#include "quarnel/bounded/band_statistics.h"
#include "quarnel/bounded/signal_scan.h"
#include "quarnel/error.h"
#include "quarnel/export.h"
#include "quarnel/method.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

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

// Energy a unit coefficient of each band puts into the samples, measured once
// per wavelet on an impulse: the error of a band weighs that much in the
// samples' squared error. detail[k] and approximation[k] belong to level
// k + 1.
struct SynthesisWeights {
  std::array<double, kMaxLevels> detail{};
  std::array<double, kMaxLevels> approximation{};
};

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
Decomposition plan(const Signal& s, WaveletMethod method);

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
std::array<std::size_t, 2> arena_lengths(const Signal& s, const Decomposition& d);

// The statistics of every band, the bands themselves made in the arena.
std::expected<Decomposition, QuarnelError> decompose(const Signal& s, WaveletMethod method,
                                                     Arena& arena);

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
                                                       std::size_t levels, Arena& arena);

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

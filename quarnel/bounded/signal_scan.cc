// The signal's range and mean, and its normalised form a chunk at a time.
#include "quarnel/bounded/signal_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace bounded {

namespace {

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

}  // namespace

void NormalisedSignal::fill(std::size_t from, std::size_t count, float* out) {
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

double NormalisedSignal::sum_onto(double sum, std::size_t from, std::size_t count) {
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

lumvet::SampleSource NormalisedSignal::source() {
  return {[](void* self, std::size_t from, std::size_t count, float* out) {
            static_cast<NormalisedSignal*>(self)->fill(from, count, out);
          },
          this};
}

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

}  // namespace bounded
}  // namespace QUARNEL_ABI
}  // namespace quarnel

// The trailer's mask: the samples a payload does not represent, found in a
// signal and written back over decoded samples.
#include "quarnel/trailer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>

namespace quarnel {
inline namespace QUARNEL_ABI {

namespace {

template <typename T>
std::uint64_t bits_of(T x) {
  if constexpr (sizeof(T) == 4) {
    return std::bit_cast<std::uint32_t>(x);
  } else {
    return std::bit_cast<std::uint64_t>(x);
  }
}

template <typename T>
Trailer mask_of_impl(std::span<const T> samples, std::optional<double> fill) {
  Trailer t;
  t.value_width = sizeof(T);
  // Values are few (NaN, the infinities, the fill, its signed zero): a linear
  // search beats a map.
  const auto index_of = [&](std::uint64_t bits) {
    for (std::size_t i = 0; i < t.values.size(); ++i) {
      if (t.values[i] == bits) return static_cast<std::uint32_t>(i);
    }
    t.values.push_back(bits);
    return static_cast<std::uint32_t>(t.values.size() - 1);
  };
  const bool has_fill = fill.has_value() && !std::isnan(*fill);
  const T fill_value = has_fill ? static_cast<T>(*fill) : T(0);
  // A fill value the samples' type cannot hold equals none of them.
  const bool fill_exact = has_fill && static_cast<double>(fill_value) == *fill;
  // Not finite (NaN fails the comparison) or the fill.
  const auto masked = [&](T x) {
    return !(std::abs(x) <= std::numeric_limits<T>::max()) || (fill_exact && x == fill_value);
  };
  // The same test on the bits, in a form the compiler vectorises for either
  // type on plain SSE2, which compares no 64-bit integers: a >= b as the top
  // bit of a - b (both below it), a == b as a zero a ^ b. The fill is its
  // bits, and the other zero's for a fill of 0; without a fill, the
  // infinity, which is masked anyway.
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr Bits kMagnitude = ~Bits{0} >> 1;
  constexpr Bits kInfinity = std::bit_cast<Bits>(std::numeric_limits<T>::infinity());
  constexpr unsigned kTop = 8 * sizeof(Bits) - 1;
  const Bits fill_bits = fill_exact ? std::bit_cast<Bits>(fill_value) : kInfinity;
  const Bits other_bits = fill_exact && fill_value == T(0) ? fill_bits ^ ~kMagnitude : fill_bits;
  const auto differs = [](Bits a, Bits b) { return ((a ^ b) | (0 - (a ^ b))) >> kTop; };
  // Most blocks hold nothing to mask: one test each, and the run-building
  // loop only where a block holds something.
  constexpr std::size_t kBlock = 512;
  std::uint64_t run_bits = 0;
  for (std::size_t start = 0; start < samples.size(); start += kBlock) {
    const std::size_t end = std::min(samples.size(), start + kBlock);
    Bits any = 0;
    for (std::size_t i = start; i < end; ++i) {
      const Bits b = std::bit_cast<Bits>(samples[i]);
      any |= ~((b & kMagnitude) - kInfinity) >> kTop;
      any |= (differs(b, fill_bits) & differs(b, other_bits)) ^ 1;
    }
    if (!any) continue;
    for (std::size_t i = start; i < end; ++i) {
      const T x = samples[i];
      if (!masked(x)) continue;
      const std::uint64_t bits = bits_of(x);
      if (!t.mask.empty() && t.mask.back().start + t.mask.back().length == i && run_bits == bits) {
        ++t.mask.back().length;
        continue;
      }
      t.mask.push_back({i, 1, index_of(bits)});
      run_bits = bits;
    }
  }
  return t;
}

template <typename T>
void apply_mask_impl(const Trailer& t, std::span<T> samples) {
  for (const MaskRun& r : t.mask) {
    const std::uint64_t bits = t.values[r.value];
    T v;
    if constexpr (sizeof(T) == 4) {
      v = t.value_width == 4 ? std::bit_cast<float>(static_cast<std::uint32_t>(bits))
                             : static_cast<float>(std::bit_cast<double>(bits));
    } else {
      v = t.value_width == 8
              ? std::bit_cast<double>(bits)
              : static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    }
    const std::size_t end =
        static_cast<std::size_t>(std::min<std::uint64_t>(r.start + r.length, samples.size()));
    for (std::size_t i = static_cast<std::size_t>(r.start); i < end; ++i) samples[i] = v;
  }
}

}  // namespace

Trailer mask_of(std::span<const float> samples, std::optional<double> fill) {
  return mask_of_impl(samples, fill);
}
Trailer mask_of(std::span<const double> samples, std::optional<double> fill) {
  return mask_of_impl(samples, fill);
}

void apply_mask(const Trailer& trailer, std::span<float> samples) {
  apply_mask_impl(trailer, samples);
}
void apply_mask(const Trailer& trailer, std::span<double> samples) {
  apply_mask_impl(trailer, samples);
}

std::uint64_t masked_count(const Trailer& trailer) {
  std::uint64_t n = 0;
  for (const MaskRun& r : trailer.mask) n += r.length;
  return n;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel

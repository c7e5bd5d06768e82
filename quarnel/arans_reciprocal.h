// Exact division of a rANS encoder state by a 12-bit frequency, through a table of
// reciprocals: one multiplication instead of a hardware division per bit.
#pragma once

#include <array>
#include <cstdint>

namespace quarnel::arans_detail {

__extension__ using Uint128 = unsigned __int128;

// With m_f = ceil(2^64 / f), for every f in 2..4095 and every 32-bit x:
//   floor(x * m_f / 2^64) == floor(x / f),
// i.e. the quotient is the high half of a 64 x 64-bit product, with no shift after it.
// Proof: let E = f m_f - 2^64, 0 <= E < f. Write x = q f + r with 0 <= r < f. Then
// x m_f f = x 2^64 + x E, so q 2^64 <= x m_f < (q + 1) 2^64 iff x E < (f - r) 2^64, which
// holds for every r as x E < 2^32 * 2^12 < 2^64. f = 1 would need m_1 = 2^64; the coder
// never meets it, as its frequencies stay within 15..4081.
inline constexpr unsigned kFrequencyLimit = 4096;  // frequencies are below 4096

inline constexpr std::array<std::uint64_t, kFrequencyLimit> kReciprocal = [] {
  std::array<std::uint64_t, kFrequencyLimit> r{};
  for (std::uint64_t f = 2; f < kFrequencyLimit; ++f) {
    r[f] = static_cast<std::uint64_t>(((Uint128{1} << 64) + f - 1) / f);
  }
  return r;
}();

// floor(x / freq) for freq in 2..4095.
constexpr std::uint32_t divide_by_frequency(std::uint32_t x, std::uint32_t freq) {
  return static_cast<std::uint32_t>((Uint128{x} * kReciprocal[freq]) >> 64);
}

// The proof above, replayed by the compiler on every entry of the table.
consteval bool reciprocals_are_exact() {
  const Uint128 one64 = Uint128{1} << 64;
  for (std::uint64_t f = 2; f < kFrequencyLimit; ++f) {
    const Uint128 e = Uint128{kReciprocal[f]} * f - one64;
    if (Uint128{kReciprocal[f]} * f < one64 || e >= f) return false;  // the ceiling
    if (e * 0xFFFFFFFFu >= one64) return false;                       // no carry into the quotient
  }
  return true;
}
static_assert(reciprocals_are_exact());

}  // namespace quarnel::arans_detail

// Internal: exact division of a rANS encoder state by a 12-bit frequency, through a
// table of reciprocals: one multiplication and one shift instead of a hardware division
// per bit.
#pragma once

#include <array>
#include <cstdint>

#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace arans_detail {

// With m_f = ceil(2^44 / f), for every f in 1..4095 and every x < 2^20 f (the encoder's
// states before a step, see arans_model.h):
//   (x * m_f) >> 44 == floor(x / f), and x * m_f < 2^64.
// Proof: let E = f m_f - 2^44, 0 <= E < f. Write x = q f + r with 0 <= r < f. Then
// x m_f f = x 2^44 + x E, so x m_f < (q + 1) 2^44 iff x E < (f - r) 2^44, which holds for
// every r once x E < 2^44; and x E <= x m_f f - x 2^44 grows with x, so checking the
// largest state x = 2^20 f - 1 suffices. There x E < 2^20 f * f <= 2^44 because f^2 <
// 2^24. The lower side x m_f >= q 2^44 holds as m_f >= 2^44 / f. For the product,
// x m_f <= (2^20 f - 1)(2^44 + f - 1) / f < 2^64 + 2^20 f - 2^44 / f < 2^64 (f^2 < 2^24).
// So 44 = 20 + 2 * 12: twenty bits of quotient, twice the frequency's twelve of margin.
inline constexpr unsigned kReciprocalShift = 44;
inline constexpr unsigned kFrequencyLimit = 4096;  // frequencies are 1..4095
inline constexpr unsigned kQuotientBits = 20;      // x < f << 20

inline constexpr std::array<std::uint64_t, kFrequencyLimit> kReciprocal = [] {
  std::array<std::uint64_t, kFrequencyLimit> r{};
  for (std::uint64_t f = 1; f < kFrequencyLimit; ++f) {
    r[f] = ((std::uint64_t{1} << kReciprocalShift) + f - 1) / f;
  }
  return r;
}();

// floor(x / freq) for x < freq << 20, given m_freq = kReciprocal[freq].
constexpr std::uint32_t divide_by_reciprocal(std::uint32_t x, std::uint64_t reciprocal) {
  return static_cast<std::uint32_t>((std::uint64_t{x} * reciprocal) >> kReciprocalShift);
}

// The proof above, replayed by the compiler on every entry of the table.
consteval bool reciprocals_are_exact() {
  __extension__ using u128 = unsigned __int128;
  const u128 one44 = u128{1} << kReciprocalShift;
  for (std::uint64_t f = 1; f < kFrequencyLimit; ++f) {
    const u128 m = kReciprocal[f];
    const u128 x_top = (u128{f} << kQuotientBits) - 1;
    if (m * f < one44 || m * f - one44 >= f) return false;  // m is the ceiling
    if (x_top * (m * f - one44) >= one44) return false;     // no carry into the quotient
    if (x_top * m >> 64 != 0) return false;                 // no 64-bit overflow
  }
  return true;
}
static_assert(reciprocals_are_exact());

}  // namespace arans_detail
}  // namespace QUARNEL_ABI
}  // namespace quarnel

// Internal: the decision of one rANS decoding step, shared by the decoder and
// the benchmark that measures the decision chain on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace arans_detail {

// The data-dependent choices of one decoding step, without branches: the bit is
// (m >= P); `x` holds the outcome for a 1 and becomes x0 for a 0, `p_next` holds p0 and
// becomes p1 for a 1. Returns the bit, as a size so that it indexes without widening. On
// x86-64 the one comparison feeds both conditional moves and the bit directly; compilers
// otherwise tend to turn the selects into branches on the bit.
[[gnu::always_inline]] inline std::size_t decide(std::uint32_t p, std::uint32_t m, std::uint32_t& x,
                                                 std::uint32_t x0, std::size_t& p_next,
                                                 std::size_t p1) {
#if defined(__x86_64__) && defined(__GNUC__)
  std::size_t bit_less_one;  // all ones for a 0, zero for a 1: folds into the callers' leas
  asm("cmp %[p], %[m]\n\t"   // borrows for m < P, a 0
      "cmovb %[x0], %[x]\n\t"
      "cmovae %[p1], %[pn]\n\t"
      "sbb %[b], %[b]"
      : [x] "+r"(x), [pn] "+r"(p_next), [b] "=r"(bit_less_one)
      : [m] "r"(m), [p] "r"(p), [x0] "r"(x0), [p1] "r"(p1)
      : "cc");
  return bit_less_one + 1;
#else
  const std::size_t bit = m >= p;
  x = bit ? x : x0;
  p_next = bit ? p1 : p_next;
  return bit;
#endif
}

}  // namespace arans_detail
}  // namespace QUARNEL_ABI
}  // namespace quarnel

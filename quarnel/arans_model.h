// Internal: the constants and the adaptive model the rANS encoder and decoder
// share (arans_encoder.cc, arans_decoder.cc). The tables are inline, so the
// library holds one copy of each.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "quarnel/arans_reciprocal.h"
#include "quarnel/export.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace arans_detail {

// ---------------------------------------------------------------------------------------
// Constants
//
// The state x is a 32-bit integer kept in [L, L * 2^16) = [2^16, 2^32) between symbols,
// and renormalisation moves 16-bit words: a state and a word both fit machine integers
// with no spare bits to track, and one word per coded bit is always enough.
//
// Probabilities are 12-bit (the frequencies of 0 and 1 sum to M = 4096). rANS decodes
// exactly only if L is a multiple of M, so that the states the encoder produces from
// [f * L / M, f * L / M * 2^16) tile [L, L * 2^16) without gaps: 4096 divides 2^16 with
// L / M = 16 to spare. A finer probability would shrink that ratio and with it the range
// of states left for a rare symbol, which is where rANS loses coding efficiency.

inline constexpr unsigned kProbBits = 12;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;  // M = 4096
inline constexpr std::uint32_t kProbMask = kProbScale - 1;
inline constexpr unsigned kWordBits = 16;
inline constexpr std::uint32_t kStateLow = 1u << 16;  // L
inline constexpr std::uint16_t kProbInit = kProbScale / 2;
inline constexpr unsigned kAdaptShift = 4;

// Coding the symbol (f, s) maps x to floor(x / f) * M + x mod f + s, which lies in
// [L, 2^32) exactly when floor(x / f) lies in [L / M, 2^32 / M) = [16, 2^20), i.e. when
// x lies in [16 f, 2^20 f). The encoder therefore shifts a word out before the step when
// x >= 2^20 f. Since x < 2^32 one shift always suffices (x >> 16 < 2^16 <= 2^20 f), and
// since x >= 2^20 f the shifted state is still >= 16 f; unshifted, x >= L >= 16 f holds
// because f < 4096.
inline constexpr unsigned kEncodeLimitShift = (16 - kProbBits) + kWordBits;  // x_max = f << 20
static_assert(kEncodeLimitShift == kQuotientBits);
static_assert(kProbScale == kFrequencyLimit);

// ---------------------------------------------------------------------------------------
// Model

// Moves P, the probability of a 0 in units of 1/4096, a sixteenth of the way towards the
// bit just seen.
constexpr std::uint32_t adapt(std::uint32_t p, std::uint32_t bit) {
  return bit ? p - (p >> kAdaptShift) : p + ((kProbScale - p) >> kAdaptShift);
}

// Started from 2048, P never leaves 15..4081: at 4081 the step up ((4096 - 4081) >> 4) is
// 0, at 15 the step down (15 >> 4) is 0, and no step overshoots. So both frequencies stay
// within 1..4095 without clamping. Checked here over every reachable P.
consteval bool adapted_probabilities_stay_in_range() {
  std::array<bool, kProbScale> reached{};
  std::array<std::uint32_t, kProbScale> queue{};
  std::size_t head = 0, tail = 0;
  reached[kProbInit] = true;
  queue[tail++] = kProbInit;
  while (head < tail) {
    const std::uint32_t p = queue[head++];
    if (p < 15 || p > 4081) return false;
    for (std::uint32_t bit = 0; bit < 2; ++bit) {
      const std::uint32_t q = adapt(p, bit);
      if (q >= kProbScale) return false;
      if (!reached[q]) {
        reached[q] = true;
        queue[tail++] = q;
      }
    }
  }
  return true;
}
static_assert(adapted_probabilities_stay_in_range());

// The encoder meets the bits of a plane twice: forwards to adapt the model, backwards to
// code them (rANS is last in, first out). Rather than keeping every bit's probability
// between the passes, the backward pass undoes the adaptation step by step and so meets
// every P again. adapt(., bit) never decreases, and its step (4096 - P) >> 4 or P >> 4
// changes by at most one between neighbouring P, so a value has at most two preimages and
// they are adjacent: P comes back as the smaller preimage plus an undo bit, which is all
// the forward pass keeps.
struct ModelTables {
  // next[2 P + bit] = adapt(P, bit); undo[2 P + bit] = P's undo bit. (The bit in the
  // lowest place makes each index a single address computation.)
  std::array<std::uint16_t, 2 * kProbScale> next{};
  std::array<std::uint8_t, 2 * kProbScale> undo{};
};

inline constexpr ModelTables kModel = [] {
  ModelTables t;
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    std::array<std::uint32_t, kProbScale> smaller_preimage{};
    for (std::uint32_t p = kProbScale - 1; p >= 1; --p) smaller_preimage[adapt(p, bit)] = p;
    for (std::uint32_t p = 1; p < kProbScale; ++p) {
      const std::uint32_t q = adapt(p, bit);
      t.next[2 * p + bit] = static_cast<std::uint16_t>(q);
      t.undo[2 * p + bit] = static_cast<std::uint8_t>(p - smaller_preimage[q]);
    }
  }
  return t;
}();

// The entries of a plane's model: 256 nodes per context.
constexpr std::size_t table_size(unsigned context_bits) {
  return std::size_t{256} << context_bits;
}

}  // namespace arans_detail
}  // namespace QUARNEL_ABI
}  // namespace quarnel

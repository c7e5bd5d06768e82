#include "quarnel/arans_encoder.h"

#include <array>
#include <cassert>

#include "quarnel/arans_model.h"
#include "quarnel/arans_reciprocal.h"
#include "quarnel/bytes.h"

namespace quarnel {
inline namespace QUARNEL_ABI {
namespace arans_detail {

// ---------------------------------------------------------------------------------------
// Encoder
//
// Forward pass: adapt the model through the plane and keep one byte of undo bits per
// plane byte. Backward pass: from the last bit to the first, undo each adaptation to get
// the bit's P back, and code the bit. On one thread, two planes run side by side in the
// backward pass so that their dependency chains through the state overlap; on two, each
// thread runs both passes of one plane (a plane's backward pass can only start once its
// forward pass has ended, so this is as far as the work splits).

namespace {

// What the backward pass needs of a bit, by its undo index 4 adapt(P, bit) + 2 undo bit +
// bit: P to put back into the table, and the bit's symbol ready for coding. Kept as
// separate arrays under one base, so every field is one load at the same index.
struct CodeTables {
  std::array<std::uint64_t, 4 * kProbScale> reciprocal{};  // of freq, see arans_reciprocal.h
  std::array<std::uint32_t, 4 * kProbScale> limit{};       // 256 freq, see code_bit
  std::array<std::uint16_t, 4 * kProbScale> p{};
  std::array<std::uint16_t, 4 * kProbScale> start{};       // 0 for a 0, P for a 1
  std::array<std::uint16_t, 4 * kProbScale> complement{};  // 4096 - freq
};

constexpr std::size_t undo_index(std::uint32_t q, std::uint32_t undo, std::uint32_t bit) {
  return 4 * std::size_t{q} + 2 * undo + bit;
}

constexpr CodeTables kCode = [] {
  CodeTables t;
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    for (std::uint32_t p = 1; p < kProbScale; ++p) {
      const std::size_t i = undo_index(kModel.next[2 * p + bit], kModel.undo[2 * p + bit], bit);
      const std::uint32_t freq = bit ? kProbScale - p : p;
      t.reciprocal[i] = kReciprocal[freq];
      t.limit[i] = freq << 8;
      t.p[i] = static_cast<std::uint16_t>(p);
      t.start[i] = static_cast<std::uint16_t>(bit ? p : 0);
      t.complement[i] = static_cast<std::uint16_t>(kProbScale - freq);
    }
  }
  return t;
}();

// Every adaptation is undone exactly, with an undo bit of 0 or 1, and gives back the
// bit's symbol.
consteval bool adaptation_is_undone_exactly() {
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    for (std::uint32_t p = 1; p < kProbScale; ++p) {
      const std::uint32_t j = 2 * p + bit;
      if (kModel.next[j] != adapt(p, bit) || kModel.undo[j] > 1) return false;
      const std::size_t i = undo_index(kModel.next[j], kModel.undo[j], bit);
      const std::uint32_t freq = bit ? kProbScale - p : p;
      if (kCode.p[i] != p || kCode.start[i] != (bit ? p : 0) ||
          kCode.complement[i] != kProbScale - freq || kCode.limit[i] != 256 * freq ||
          kCode.reciprocal[i] != kReciprocal[freq]) {
        return false;
      }
      // code_bit relies on x mod freq + start < 4096.
      if (kCode.start[i] + freq > kProbScale) return false;
    }
  }
  return true;
}
static_assert(adaptation_is_undone_exactly());

// Adapts `row` to byte b and returns its eight undo bits, the first bit's highest. With
// marked = b | 0x100, bit k (from the most significant) has node marked >> (8 - k) and is
// the lowest bit of the next node.
[[gnu::always_inline]] inline std::uint32_t model_byte(std::uint16_t* row, std::uint32_t b) {
  const std::uint32_t marked = b | 0x100;
  std::uint32_t undo = 0;
#pragma GCC unroll 8
  for (unsigned k = 0; k < 8; ++k) {
    const std::size_t node = marked >> (8 - k);
    const std::size_t index = 2 * std::size_t{row[node]} + ((marked >> (7 - k)) & 1);
    row[node] = kModel.next[index];
    undo = 2 * undo + kModel.undo[index];
  }
  return undo;
}

// Adapts `table` through the `count` bytes src[0], src[stride], ... of a plane and
// stores the undo bits of byte i at undo[i].
void model_plane(const std::uint8_t* src, std::size_t stride, std::size_t count,
                 unsigned context_bits, std::uint16_t* table, std::uint8_t* undo) {
  const unsigned context_shift = 8 - context_bits;
  std::uint16_t* row = table;  // the previous byte is 0 at the start
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t b = src[stride * i];
    undo[i] = static_cast<std::uint8_t>(model_byte(row, b));
    row = table + ((b >> context_shift) << 8);
  }
}

// A byte's bits, its undo bits and its node marker packed for the backward pass: bit k of
// the byte (from the most significant) at bit 2 k, its undo bit at bit 2 k + 1, and
// b | 0x100 from bit 16 on. Step k finds its undo index offset in bits 2 k, 2 k + 1 and its
// node at packed >> (24 - k).
constexpr std::array<std::uint32_t, 256> kSpreadBits = [] {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    t[b] = (b | 0x100) << 16;
    for (std::uint32_t k = 0; k < 8; ++k) t[b] |= ((b >> (7 - k)) & 1) << (2 * k);
  }
  return t;
}();
constexpr std::array<std::uint32_t, 256> kSpreadUndo = [] {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t u = 0; u < 256; ++u) {
    for (std::uint32_t k = 0; k < 8; ++k) t[u] |= ((u >> (7 - k)) & 1) << (2 * k + 1);
  }
  return t;
}();

// Undoes the adaptation of bit k of the byte described by `packed` in `row`; returns the
// bit's undo index.
template <unsigned k>
[[gnu::always_inline]] inline std::size_t undo_bit(std::uint16_t* row, std::uint32_t packed) {
  const std::size_t node = packed >> (24 - k);
  const std::size_t i = 4 * std::size_t{row[node]} + ((packed >> (2 * k)) & 3);
  row[node] = kCode.p[i];
  return i;
}

// One plane's coding state in the backward pass: the state before the pending bit (already
// renormalised for it) and the pending bit's undo index.
struct CodingLane {
  std::uint32_t x;
  std::size_t symbol;
  std::uint16_t* words;
};

// Codes the pending bit of `lane` and makes `next` (the bit coded after it) pending:
//   x <- floor(x / freq) * M + x mod freq + start = x + start + q (M - freq)
// with q = floor(x / freq) by reciprocal multiplication. The result is 4096 q plus
// x mod freq + start, which is below 4096 (below P for a 0; below 4096 - P, plus P, for a
// 1). So it reaches the next bit's limit freq' 2^20 exactly when q >= 256 freq', and its
// renormalised form, result >> 16, is q >> 4: the renormalisation before the next bit is
// decided from q, so the branch resolves before the multiply-add that yields the result.
[[gnu::always_inline]] inline void code_bit(CodingLane& lane, std::size_t next) {
  const std::size_t s = lane.symbol;
  const std::uint32_t q = divide_by_reciprocal(lane.x, kCode.reciprocal[s]);
  std::uint32_t x = lane.x + kCode.start[s] + q * kCode.complement[s];
  if (q >= kCode.limit[next]) [[unlikely]] {
    *lane.words++ = static_cast<std::uint16_t>(x);
    x = q >> 4;
  }
  lane.x = x;
  lane.symbol = next;
}

// Codes the last bit of a plane (the first one modelled): no bit follows to renormalise for.
[[gnu::always_inline]] inline std::uint32_t code_last_bit(const CodingLane& lane) {
  const std::size_t s = lane.symbol;
  const std::uint32_t q = divide_by_reciprocal(lane.x, kCode.reciprocal[s]);
  return lane.x + kCode.start[s] + q * kCode.complement[s];
}

// Codes `count` >= 1 bytes of N planes backwards (plane j's byte i at src[j][stride i]),
// starting from the tables the forward pass left and its undo bits (plane j's byte i at
// undo[j][i]); plane j's final state goes to states[j] and its words to words[j]. Out of
// line: inlined into code_plane, the loop lost registers and ran 2% more instructions.
template <std::size_t N>
[[gnu::noinline]] void code_planes(std::array<const std::uint8_t*, N> src, std::size_t stride,
                                   std::size_t count, unsigned context_bits,
                                   std::array<std::uint16_t*, N> tables,
                                   std::array<const std::uint8_t*, N> undo,
                                   std::array<std::uint32_t, N>& states,
                                   std::array<WordBuffer*, N> words) {
  const unsigned context_shift = 8 - context_bits;
  // Byte i of plane j: its row (selected by byte i - 1, 0 before the first) and packing.
  const auto row_of = [&](std::size_t j, std::size_t i) {
    const std::uint32_t previous = i > 0 ? src[j][stride * (i - 1)] : 0;
    return tables[j] + ((previous >> context_shift) << 8);
  };
  const auto packed_of = [&](std::size_t j, std::size_t i) {
    return kSpreadBits[src[j][stride * i]] | kSpreadUndo[undo[j][i]];
  };
  std::size_t i = count - 1;
  std::uint16_t* row0 = row_of(0, i);
  std::uint16_t* row1 = row_of(N - 1, i);
  std::uint32_t packed0 = packed_of(0, i);
  std::uint32_t packed1 = packed_of(N - 1, i);
  CodingLane lane0{kStateLow, undo_bit<7>(row0, packed0), words[0]->next()};
  CodingLane lane1{kStateLow, 0, words[N - 1]->next()};
  if constexpr (N == 2) lane1.symbol = undo_bit<7>(row1, packed1);
  while (true) {
    if (words[0]->lacks_room(lane0.words)) [[unlikely]]
      lane0.words = words[0]->grow(lane0.words);
    if constexpr (N == 2) {
      if (words[1]->lacks_room(lane1.words)) [[unlikely]]
        lane1.words = words[1]->grow(lane1.words);
    }
#define ARANS_CODE_BIT(k)                      \
  code_bit(lane0, undo_bit<k>(row0, packed0)); \
  if constexpr (N == 2) code_bit(lane1, undo_bit<k>(row1, packed1))
    ARANS_CODE_BIT(6);
    ARANS_CODE_BIT(5);
    ARANS_CODE_BIT(4);
    ARANS_CODE_BIT(3);
    ARANS_CODE_BIT(2);
    ARANS_CODE_BIT(1);
    ARANS_CODE_BIT(0);
    if (i == 0) break;
    --i;
    row0 = row_of(0, i);
    packed0 = packed_of(0, i);
    if constexpr (N == 2) {
      row1 = row_of(1, i);
      packed1 = packed_of(1, i);
    }
    ARANS_CODE_BIT(7);
#undef ARANS_CODE_BIT
  }
  states[0] = code_last_bit(lane0);
  words[0]->set_next(lane0.words);
  if constexpr (N == 2) {
    states[1] = code_last_bit(lane1);
    words[1]->set_next(lane1.words);
  }
}

}  // namespace

// Writes a coded plane: the final state, then the words in the order the decoder reads
// them, which is the reverse of the order they were emitted in.
std::uint8_t* put_coded_plane(std::uint8_t* out, std::uint32_t state, const WordBuffer& words) {
  store_le32(out, state);
  out += 4;
  for (const std::uint16_t* w = words.next(); w != words.begin();) {
    --w;
    store_le16(out, *w);
    out += 2;
  }
  return out;
}

CodedPlane code_plane(const std::uint8_t* src, std::size_t stride, std::size_t count,
                      unsigned context_bits, std::size_t capacity) {
  std::vector<std::uint16_t> table(table_size(context_bits), kProbInit);
  const auto undo = std::make_unique_for_overwrite<std::uint8_t[]>(count);
  model_plane(src, stride, count, context_bits, table.data(), undo.get());
  CodedPlane out{0, WordBuffer(capacity)};
  std::array<std::uint32_t, 1> state;
  code_planes<1>({src}, stride, count, context_bits, {table.data()}, {undo.get()}, state,
                 {&out.words});
  out.state = state[0];
  return out;
}

std::pair<CodedPlane, CodedPlane> code_plane_pair(const std::uint8_t* src, std::size_t pair_count,
                                                  unsigned context_bits) {
  std::vector<std::uint16_t> tables(2 * table_size(context_bits), kProbInit);
  const std::array<std::uint16_t*, 2> plane_tables = {tables.data(),
                                                      tables.data() + table_size(context_bits)};
  const auto undo = std::make_unique_for_overwrite<std::uint8_t[]>(2 * pair_count);
  const std::array<const std::uint8_t*, 2> plane_undo = {undo.get(), undo.get() + pair_count};
  model_plane(src, 2, pair_count, context_bits, plane_tables[0], undo.get());
  model_plane(src + 1, 2, pair_count, context_bits, plane_tables[1], undo.get() + pair_count);
  CodedPlane plane0{0, WordBuffer(plane0_capacity(pair_count))};
  CodedPlane plane1{0, WordBuffer(plane1_capacity(pair_count))};
  std::array<std::uint32_t, 2> state;
  code_planes<2>({src, src + 1}, 2, pair_count, context_bits, plane_tables, plane_undo, state,
                 {&plane0.words, &plane1.words});
  plane0.state = state[0];
  plane1.state = state[1];
  return {std::move(plane0), std::move(plane1)};
}

std::vector<std::uint8_t> put_body(std::span<const std::uint8_t> input, unsigned context_bits,
                                   const CodedPlane& plane0, const CodedPlane& plane1) {
  const std::size_t n = input.size();
  const std::size_t pair_count = n / 2;
  const std::size_t plane0_size = coded_plane_size(plane0.words);
  const std::size_t plane1_size = coded_plane_size(plane1.words);
  const std::size_t odd = n & 1;
  std::vector<std::uint8_t> body(2 + leb128_size(pair_count) + leb128_size(plane0_size) +
                                 plane0_size + plane1_size + odd);
  std::uint8_t* out = body.data();
  *out++ = static_cast<std::uint8_t>(odd);
  *out++ = static_cast<std::uint8_t>(context_bits);
  out = store_leb128(out, pair_count);
  out = store_leb128(out, plane0_size);
  out = put_coded_plane(out, plane0.state, plane0.words);
  out = put_coded_plane(out, plane1.state, plane1.words);
  if (odd) *out++ = input[n - 1];
  assert(out == body.data() + body.size());
  return body;
}

}  // namespace arans_detail
}  // namespace QUARNEL_ABI
}  // namespace quarnel

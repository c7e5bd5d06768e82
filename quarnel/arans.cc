#include "quarnel/arans.h"

#include "quarnel/arans_decide.h"
#include "quarnel/arans_reciprocal.h"
#include "quarnel/stream_check.h"
#include "quarnel/try.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace quarnel {
inline namespace QUARNEL_ABI {

std::string_view message(AransError e) {
  switch (e) {
    case AransError::Truncated:
      return "Stream truncated";
    case AransError::InconsistentLength:
      return "Inconsistent or oversized length in stream";
  }
  return "Unknown rANS error";
}

namespace {

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

constexpr unsigned kProbBits = 12;
constexpr std::uint32_t kProbScale = 1u << kProbBits;  // M = 4096
constexpr std::uint32_t kProbMask = kProbScale - 1;
constexpr unsigned kWordBits = 16;
constexpr std::uint32_t kStateLow = 1u << 16;  // L
constexpr std::uint16_t kProbInit = kProbScale / 2;
constexpr unsigned kAdaptShift = 4;

// Coding the symbol (f, s) maps x to floor(x / f) * M + x mod f + s, which lies in
// [L, 2^32) exactly when floor(x / f) lies in [L / M, 2^32 / M) = [16, 2^20), i.e. when
// x lies in [16 f, 2^20 f). The encoder therefore shifts a word out before the step when
// x >= 2^20 f. Since x < 2^32 one shift always suffices (x >> 16 < 2^16 <= 2^20 f), and
// since x >= 2^20 f the shifted state is still >= 16 f; unshifted, x >= L >= 16 f holds
// because f < 4096.
constexpr unsigned kEncodeLimitShift = (16 - kProbBits) + kWordBits;  // x_max = f << 20
static_assert(kEncodeLimitShift == arans_detail::kQuotientBits);
static_assert(kProbScale == arans_detail::kFrequencyLimit);

// Bodies of up to five bytes are stored raw; a coded body is at least 12 bytes long.
constexpr std::size_t kRawLimit = 6;

// From 16 KiB of input on the model uses the whole previous byte as context.
constexpr std::size_t kWideContextInput = 16384;

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

constexpr ModelTables kModel = [] {
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
      t.reciprocal[i] = arans_detail::kReciprocal[freq];
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
          kCode.reciprocal[i] != arans_detail::kReciprocal[freq]) {
        return false;
      }
      // code_bit relies on x mod freq + start < 4096.
      if (kCode.start[i] + freq > kProbScale) return false;
    }
  }
  return true;
}
static_assert(adaptation_is_undone_exactly());

inline std::size_t table_size(unsigned context_bits) {
  return std::size_t{256} << context_bits;
}

// ---------------------------------------------------------------------------------------
// Encoder
//
// Forward pass: adapt the model through the plane and keep one byte of undo bits per
// plane byte. Backward pass: from the last bit to the first, undo each adaptation to get
// the bit's P back, and code the bit. On one thread, two planes run side by side in the
// backward pass so that their dependency chains through the state overlap; on two, each
// thread runs both passes of one plane (a plane's backward pass can only start once its
// forward pass has ended, so this is as far as the work splits).

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

// The words a plane's encoder emits, in emission order (the reverse of reading order).
// Grown geometrically; a byte emits at most eight words, so room is checked per byte.
class WordBuffer {
 public:
  explicit WordBuffer(std::size_t capacity)
      : data_(std::make_unique_for_overwrite<std::uint16_t[]>(capacity)),
        end_(data_.get() + capacity),
        next_(data_.get()) {}

  // Whether the write position `next` lacks room for the words of one more byte.
  bool lacks_room(const std::uint16_t* next) const { return end_ - next < 8; }

  // Doubles the buffer; returns the write position `next` moved along.
  std::uint16_t* grow(std::uint16_t* next) {
    const auto used = static_cast<std::size_t>(next - data_.get());
    const std::size_t capacity = 2 * static_cast<std::size_t>(end_ - data_.get()) + 8;
    auto bigger = std::make_unique_for_overwrite<std::uint16_t[]>(capacity);
    std::memcpy(bigger.get(), data_.get(), 2 * used);
    data_ = std::move(bigger);
    end_ = data_.get() + capacity;
    return data_.get() + used;
  }

  std::uint16_t* next() const { return next_; }
  void set_next(std::uint16_t* next) { next_ = next; }
  const std::uint16_t* begin() const { return data_.get(); }

 private:
  std::unique_ptr<std::uint16_t[]> data_;
  std::uint16_t* end_;
  std::uint16_t* next_;
};

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
  const std::uint32_t q = arans_detail::divide_by_reciprocal(lane.x, kCode.reciprocal[s]);
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
  const std::uint32_t q = arans_detail::divide_by_reciprocal(lane.x, kCode.reciprocal[s]);
  return lane.x + kCode.start[s] + q * kCode.complement[s];
}

// Codes `count` >= 1 bytes of N planes backwards (plane j's byte i at src[j][stride i]),
// starting from the tables the forward pass left and its undo bits (plane j's byte i at
// undo[j][i]); plane j's final state goes to states[j] and its words to words[j].
template <std::size_t N>
void code_planes(std::array<const std::uint8_t*, N> src, std::size_t stride, std::size_t count,
                 unsigned context_bits, std::array<std::uint16_t*, N> tables,
                 std::array<const std::uint8_t*, N> undo, std::array<std::uint32_t, N>& states,
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

inline std::uint8_t* put_le32(std::uint8_t* out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out[k] = static_cast<std::uint8_t>(v >> (8 * k));
  return out + 4;
}

// Writes a coded plane: the final state, then the words in the order the decoder reads
// them, which is the reverse of the order they were emitted in.
std::uint8_t* put_coded_plane(std::uint8_t* out, std::uint32_t state, const WordBuffer& words) {
  out = put_le32(out, state);
  for (const std::uint16_t* w = words.next(); w != words.begin();) {
    --w;
    *out++ = static_cast<std::uint8_t>(*w);
    *out++ = static_cast<std::uint8_t>(*w >> 8);
  }
  return out;
}

inline std::size_t coded_plane_size(const WordBuffer& words) {
  return 4 + 2 * static_cast<std::size_t>(words.next() - words.begin());
}

std::size_t leb128_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

std::uint8_t* put_leb128(std::uint8_t* out, std::uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}

// A plane's coding: its final state and its words.
struct CodedPlane {
  std::uint32_t state = 0;
  WordBuffer words;
};

// Codes the `count` >= 1 bytes src[0], src[stride], ... of a plane on its own: the forward
// pass, then the backward pass with one lane. `capacity` is the word buffer's first size.
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

// Initial word buffer sizes: about what Laplacian coefficients need, low bytes and high.
inline std::size_t plane0_capacity(std::size_t pair_count) {
  return pair_count / 2 + 64;
}
inline std::size_t plane1_capacity(std::size_t pair_count) {
  return pair_count / 4 + 64;
}

// The container around two coded planes.
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
  out = put_leb128(out, pair_count);
  out = put_leb128(out, plane0_size);
  out = put_coded_plane(out, plane0.state, plane0.words);
  out = put_coded_plane(out, plane1.state, plane1.words);
  if (odd) *out++ = input[n - 1];
  assert(out == body.data() + body.size());
  return body;
}

// ---------------------------------------------------------------------------------------
// Decoder

inline std::uint32_t get_le16(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
}

inline std::uint32_t get_le32(const std::uint8_t* p) {
  return get_le16(p) | get_le16(p + 2) << 16;
}

// A plane's decoder between calls of decode_planes: the state x, the probability P of the
// next bit (the current byte's node 1, between bytes), the table row of the current byte's
// context, the table, and the coded bytes still to read.
struct PlaneDecoder {
  std::uint32_t x;
  std::uint32_t p;
  std::uint16_t* row;
  std::uint16_t* table;
  const std::uint8_t* next;  // the next renormalisation word
  const std::uint8_t* end;   // the end of the plane's coded bytes
};

// a if `bit` else b, as a conditional move: the bits are data, and a branch on them would
// mispredict about as often as they carry information.
template <typename T>
[[gnu::always_inline]] inline T select(std::size_t bit, T a, T b) {
#if defined(__x86_64__) && defined(__GNUC__)
  if constexpr (sizeof(T) == 4 || sizeof(T) == 8) {
    asm("test %[bit], %[bit]\n\tcmovnz %[a], %[b]"
        : [b] "+r"(b)
        : [a] "r"(a), [bit] "r"(bit)
        : "cc");
    return b;
  }
#endif
  return bit ? a : b;
}

// With h = x >> 12 and m = x & 4095 a decoding step x <- freq * h + m - start is
//   bit 0 (m < P):  P h + m
//   bit 1:          (4096 - P) h + m - P = x - P - P h
// so both outcomes come from the one product P h, and a select picks one. Returns the
// state before renormalisation and sets `bit`; `p_next` and p1 are passed on to decide.
[[gnu::always_inline]] inline std::uint32_t decode_step(std::uint32_t x, std::uint32_t p,
                                                        std::size_t& bit, std::size_t& p_next,
                                                        std::size_t p1) {
  const std::uint32_t m = x & kProbMask;
  const std::uint32_t ph = p * (x >> kProbBits);
  std::uint32_t x_next = x - p - ph;
  bit = arans_detail::decide(p, m, x_next, ph + m, p_next, p1);
  return x_next;
}

// A step leaves x >= 16 when it starts from x >= L (h >= 16 and the frequency is at least
// 1), so one word brings x back to at least 2^20 >= L: from x >= L, every bit reads at most
// one word, a byte at most eight, and the byte ends with x >= L again. Only a corrupt
// initial state below L can need more. So while x >= L, a plane with 16 k coded bytes left
// can decode k bytes on the fast path, which reads its words without further checks; a
// plane with less takes the checked path byte by byte. This is the one check the fast
// path's reads rest on.
constexpr std::size_t kFastByteRoom = 8 * 2;

inline std::size_t fast_bytes(const PlaneDecoder& d) {
  return d.x >= kStateLow ? static_cast<std::size_t>(d.end - d.next) / kFastByteRoom : 0;
}

// The row of the byte after `byte`.
[[gnu::always_inline]] inline std::uint16_t* next_row(std::uint16_t* table, std::uint32_t byte,
                                                      unsigned context_shift) {
  return table + ((byte >> context_shift) << 8);
}

// A plane's decoder in registers for a run of fast bytes: PlaneDecoder's fields, with P
// as a size so that it indexes without widening, and the current byte's node.
struct FastLane {
  std::uint32_t x;
  std::size_t p;
  std::uint16_t* row;
  std::uint16_t* table;
  const std::uint8_t* next;
  std::size_t node;

  explicit FastLane(const PlaneDecoder& d)
      : x(d.x), p(d.p), row(d.row), table(d.table), next(d.next), node(1) {}
  void store(PlaneDecoder& d) const {
    d.x = x;
    d.p = static_cast<std::uint32_t>(p);
    d.row = row;
    d.next = next;
  }
};

// Fast path, bit k of the current byte. The step's critical path runs through x; the table
// work is kept off it: the probabilities of both children of the current node are loaded
// before the bit is known (for the last bit: P of node 1 in both rows the byte can select
// for the next one), and the bit picks one.
template <unsigned k>
[[gnu::always_inline]] inline void fast_bit(FastLane& l, unsigned context_shift) {
  std::size_t p_next, p1;
  std::uint16_t *row0 = nullptr, *row1 = nullptr;
  if constexpr (k < 7) {
    p_next = l.row[2 * l.node];
    p1 = l.row[2 * l.node + 1];
  } else {
    const auto byte0 = static_cast<std::uint32_t>(2 * l.node - 0x100);
    row0 = next_row(l.table, byte0, context_shift);
    row1 = next_row(l.table, byte0 + 1, context_shift);
    p_next = row0[1];
    p1 = row1[1];
  }
  std::size_t bit;
  std::uint32_t x = decode_step(l.x, static_cast<std::uint32_t>(l.p), bit, p_next, p1);
  l.row[l.node] = kModel.next[2 * l.p + bit];
  l.node = 2 * l.node + bit;
  l.p = p_next;
  if constexpr (k == 7) l.row = select(bit, row1, row0);
  if (x < kStateLow) [[unlikely]] {
    x = x << kWordBits | get_le16(l.next);  // within the room fast_bytes granted
    l.next += 2;
  }
  l.x = x;
}

// Checked path, one byte, into `out`. Kept out of line: it is rare, and inlined it would
// crowd the fast path's registers.
[[gnu::noinline]] std::expected<void, AransError> checked_byte(PlaneDecoder& d,
                                                               unsigned context_shift,
                                                               std::uint8_t& out) {
  std::size_t node = 1;
  for (int k = 0; k < 8; ++k) {
    const std::uint32_t p = d.row[node];
    std::size_t bit, unused = 0;
    d.x = decode_step(d.x, p, bit, unused, 0);
    d.row[node] = kModel.next[2 * std::size_t{p} + bit];
    node = 2 * node + bit;
    // Pull words in until x is back in [L, 2^32).
    while (d.x < kStateLow) {
      QUARNEL_CHECK(d.end - d.next >= 2, AransError::Truncated);
      d.x = d.x << kWordBits | get_le16(d.next);
      d.next += 2;
    }
  }
  const auto byte = static_cast<std::uint32_t>(node - 0x100);
  d.row = next_row(d.table, byte, context_shift);
  d.p = d.row[1];
  out = static_cast<std::uint8_t>(byte);
  return {};
}

// Decodes the next `count` bytes of N planes side by side; the i-th of plane j goes to
// out[stride * i + j]. The planes' decoders are copied into locals for runs of fast bytes,
// so that the compiler keeps them in registers.
template <std::size_t N, std::size_t stride = N>
std::expected<void, AransError> decode_planes(std::array<PlaneDecoder, N>& planes,
                                              unsigned context_bits, std::uint8_t* out,
                                              std::size_t count) {
  const unsigned context_shift = 8 - context_bits;
  std::size_t i = 0;
  while (i < count) {
    std::size_t run = count - i;
    for (const PlaneDecoder& d : planes) run = std::min(run, fast_bytes(d));
    if (run == 0) [[unlikely]] {
      for (std::size_t j = 0; j < N; ++j) {
        QUARNEL_TRY(checked_byte(planes[j], context_shift, out[stride * i + j]));
      }
      ++i;
      continue;
    }
    FastLane l0(planes[0]), l1(planes[N - 1]);
    for (const std::size_t end = i + run; i < end; ++i) {
      l0.node = 1;
      l1.node = 1;
#define ARANS_FAST_BIT(k)         \
  fast_bit<k>(l0, context_shift); \
  if constexpr (N == 2) fast_bit<k>(l1, context_shift)
      ARANS_FAST_BIT(0);
      ARANS_FAST_BIT(1);
      ARANS_FAST_BIT(2);
      ARANS_FAST_BIT(3);
      ARANS_FAST_BIT(4);
      ARANS_FAST_BIT(5);
      ARANS_FAST_BIT(6);
      ARANS_FAST_BIT(7);
#undef ARANS_FAST_BIT
      // After eight bits the node is 256 + the byte.
      out[stride * i] = static_cast<std::uint8_t>(l0.node);
      if constexpr (N == 2) out[stride * i + 1] = static_cast<std::uint8_t>(l1.node);
    }
    l0.store(planes[0]);
    if constexpr (N == 2) l1.store(planes[1]);
  }
  return {};
}

// Starts decoding a plane: reads its initial state.
std::expected<PlaneDecoder, AransError> start_plane(std::span<const std::uint8_t> coded) {
  QUARNEL_CHECK(coded.size() >= 4, AransError::Truncated);
  return PlaneDecoder{get_le32(coded.data()),     0, nullptr, nullptr, coded.data() + 4,
                      coded.data() + coded.size()};
}

// Plane 0 of a stream decoded on a worker thread, in blocks handed to the calling thread
// through a small ring of slots: the calling thread alone writes the output, which it may
// grow, and the two threads never write next to each other in it. The calling thread
// decodes plane 1 and does the copying: for coefficients, whose low bytes carry most of
// the information, plane 0 takes longer. The worker stops at its
// plane's first error, which the calling thread meets when it asks for the block that
// failed, and at the calling thread's request when that thread fails first.
class PlaneFeed {
 public:
  static constexpr std::size_t kBlock = std::size_t{1} << 15;
  static constexpr std::size_t kSlots = 4;

  // May throw std::bad_alloc.
  PlaneFeed(const PlaneDecoder& plane, unsigned context_bits, std::size_t count)
      : plane_(plane),
        context_bits_(context_bits),
        count_(count),
        ring_(std::make_unique_for_overwrite<std::uint8_t[]>(kSlots * kBlock)) {}

  PlaneFeed(const PlaneFeed&) = delete;
  PlaneFeed& operator=(const PlaneFeed&) = delete;

  ~PlaneFeed() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }

  // Starts the worker; false when no thread can be had.
  bool start() {
    try {
      worker_ = std::thread([this] { run(); });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  // Copies the plane's next `n` bytes to out[0], out[2], ...
  std::expected<void, AransError> take(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (position_ == block_end_) QUARNEL_TRY(next_block());
      const std::size_t k = std::min(n, block_end_ - position_);
      const std::uint8_t* src = slot(taken_) + (position_ - taken_ * kBlock);
      for (std::size_t i = 0; i < k; ++i) out[2 * i] = src[i];
      out += 2 * k;
      n -= k;
      position_ += k;
    }
    return {};
  }

 private:
  std::uint8_t* slot(std::size_t block) const { return ring_.get() + block % kSlots * kBlock; }

  // Gives the block just read back to the worker and waits for the next one.
  std::expected<void, AransError> next_block() {
    std::unique_lock lock(mutex_);
    if (position_ > 0) {
      ++taken_;
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return produced_ > taken_ || failed_; });
    if (produced_ == taken_) return std::unexpected(error_);
    block_end_ = std::min(count_, (taken_ + 1) * kBlock);
    return {};
  }

  void run() {
    std::array<PlaneDecoder, 1> plane = {plane_};
    for (std::size_t block = 0; block * kBlock < count_; ++block) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || block - taken_ < kSlots; });
        if (stop_) return;
      }
      const std::size_t n = std::min(kBlock, count_ - block * kBlock);
      const auto result = decode_planes<1>(plane, context_bits_, slot(block), n);
      {
        std::lock_guard lock(mutex_);
        if (result) {
          ++produced_;
        } else {
          failed_ = true;
          error_ = result.error();
        }
      }
      changed_.notify_all();
      if (!result) return;
    }
  }

  const PlaneDecoder plane_;
  const unsigned context_bits_;
  const std::size_t count_;
  const std::unique_ptr<std::uint8_t[]> ring_;
  std::thread worker_;
  // The calling thread's reading position in the plane, and the end of its block.
  std::size_t position_ = 0;
  std::size_t block_end_ = 0;
  // Under mutex_: blocks decoded, blocks given back, and how the worker ended.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t produced_ = 0;
  std::size_t taken_ = 0;
  bool failed_ = false;
  bool stop_ = false;
  AransError error_ = AransError::Truncated;
};

// Decodes `count` bytes of each of N planes into out[N * i + j], of which the first
// `stored` (at most `count`) are kept, and leaves `tail` extra bytes at the end of a
// result that keeps every byte. The output grows as decoding advances instead of being
// allocated in full up front: a short body that claims a huge count fails as truncated
// after touching little memory, while every result stays that of a full allocation.
// Bytes past `stored` are still decoded, so damage anywhere fails alike, through a small
// window that is overwritten. With `threaded` (N = 2), plane 0 is decoded by a PlaneFeed
// when a thread can be had.
template <std::size_t N>
std::expected<std::vector<std::uint8_t>, AransError> decode_interleaved(
    std::array<PlaneDecoder, N>& planes, std::size_t coded_bytes, std::size_t count,
    std::size_t stored, unsigned context_bits, std::size_t tail, bool threaded) {
  // Enough for any ordinary body in one go; compression ratios beyond 16:1 (long runs of
  // one byte) grow the buffer geometrically.
  constexpr std::size_t kFirstChunk = std::size_t{1} << 20;
  constexpr std::size_t kWindow = std::size_t{1} << 14;
  try {
    std::vector<std::uint16_t> tables(N * table_size(context_bits), kProbInit);
    for (std::size_t j = 0; j < N; ++j) {
      planes[j].table = tables.data() + j * table_size(context_bits);
      planes[j].row = planes[j].table;
      planes[j].p = kProbInit;
    }
    std::optional<PlaneFeed> feed;
    if constexpr (N == 2) {
      if (threaded && !feed.emplace(planes[0], context_bits, count).start()) feed.reset();
    }
    // Decodes the next n bytes of every plane into out.
    const auto decode = [&](std::uint8_t* out, std::size_t n) -> std::expected<void, AransError> {
      if (!feed) return decode_planes<N>(planes, context_bits, out, n);
      std::array<PlaneDecoder, 1> plane1 = {planes[N - 1]};
      for (std::size_t k = 0; n > 0; out += 2 * k, n -= k) {
        k = std::min(n, PlaneFeed::kBlock);
        QUARNEL_TRY((decode_planes<1, 2>(plane1, context_bits, out + 1, k)));
        QUARNEL_TRY(feed->take(out, k));
      }
      planes[N - 1] = plane1[0];
      return {};
    };
    std::vector<std::uint8_t> out;
    std::size_t done = 0;
    std::size_t limit = std::min(stored, (kFirstChunk + 16 * coded_bytes) / N);
    while (done < stored) {
      const std::size_t size = N * limit + (limit == count ? tail : 0);
      out.reserve(size);  // exactly: the last chunk leaves no slack
      out.resize(size);
      QUARNEL_TRY(decode(out.data() + N * done, limit - done));
      done = limit;
      limit = stored - limit > limit ? 2 * limit : stored;
    }
    if (done < count) {
      const auto window = std::make_unique_for_overwrite<std::uint8_t[]>(N * kWindow);
      for (; done < count; done += std::min(kWindow, count - done)) {
        QUARNEL_TRY(decode(window.get(), std::min(kWindow, count - done)));
      }
    }
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(AransError::InconsistentLength);
  } catch (const std::length_error&) {  // a count beyond what a vector can hold
    return std::unexpected(AransError::InconsistentLength);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public entry points

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits) {
  assert(context_bits <= 8);
  context_bits = std::min(context_bits, 8u);
  const std::size_t count = plane.size();
  if (count == 0) return {};
  const CodedPlane coded = code_plane(plane.data(), 1, count, context_bits, count / 2 + 64);
  std::vector<std::uint8_t> out(coded_plane_size(coded.words));
  put_coded_plane(out.data(), coded.state, coded.words);
  return out;
}

// However the input leads the model, a bit costs at most 1.0473 bits on average: the
// largest mean of -log2(probability of the bit seen) over any bit sequence that starts at
// P = 2048 and moves P by adapt() is 1.047259 (value iteration over all 4095 P: the mean
// rises to it from below as the sequence grows). Each context's model starts at 2048, so
// the sum over a plane stays within 1.0473 bits per bit. A coding step raises log2 x by
// log2(4096 / freq) plus at most log2(1 + freq / x) <= log2(17 / 16) < 0.0875 (x >= 16 freq
// before every step), each word takes 16 bits off, and x starts at L and ends at or above
// it. So a plane of m bytes takes at most 8 m (1.0473 + 0.0875) / 16 < 0.5674 m words.
std::uint64_t encode_stream_bound(std::uint64_t size) {
  if (size < kRawLimit) return size;
  const std::uint64_t pair_count = size / 2;
  const std::uint64_t plane = 4 + 2 * ((pair_count * 5674 + 9999) / 10000);
  return 2 + leb128_size(pair_count) + leb128_size(plane) + 2 * plane + (size & 1);
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
  return encode_stream(input, 1);
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input, unsigned threads) {
  const std::size_t n = input.size();
  if (n < kRawLimit) return {input.begin(), input.end()};
  const std::size_t pair_count = n / 2;
  const unsigned context_bits = n < kWideContextInput ? 3 : 8;

  if (threads >= 2 && pair_count >= kThreadedMinPairs) {
    // Plane 1 on a worker, plane 0 here. A failure of the worker (exhausted memory) is
    // rethrown here; one of this thread's leaves through the worker's join.
    std::optional<CodedPlane> plane1;
    std::exception_ptr failure;
    std::optional<CodedPlane> plane0;
    {
      std::jthread worker;
      try {
        worker = std::jthread([&] {
          try {
            plane1.emplace(code_plane(input.data() + 1, 2, pair_count, context_bits,
                                      plane1_capacity(pair_count)));
          } catch (...) {
            failure = std::current_exception();
          }
        });
      } catch (const std::system_error&) {
        // No thread to be had: plane 1 is coded here after plane 0.
      }
      plane0.emplace(
          code_plane(input.data(), 2, pair_count, context_bits, plane0_capacity(pair_count)));
    }
    if (failure) std::rethrow_exception(failure);
    if (!plane1) {
      plane1.emplace(
          code_plane(input.data() + 1, 2, pair_count, context_bits, plane1_capacity(pair_count)));
    }
    return put_body(input, context_bits, *plane0, *plane1);
  }

  // Both planes on this thread: two forward passes, then one backward pass with two lanes.
  std::vector<std::uint16_t> tables(2 * table_size(context_bits), kProbInit);
  const std::array<std::uint16_t*, 2> plane_tables = {tables.data(),
                                                      tables.data() + table_size(context_bits)};
  const auto undo = std::make_unique_for_overwrite<std::uint8_t[]>(2 * pair_count);
  const std::array<const std::uint8_t*, 2> plane_undo = {undo.get(), undo.get() + pair_count};
  model_plane(input.data(), 2, pair_count, context_bits, plane_tables[0], undo.get());
  model_plane(input.data() + 1, 2, pair_count, context_bits, plane_tables[1],
              undo.get() + pair_count);
  CodedPlane plane0{0, WordBuffer(plane0_capacity(pair_count))};
  CodedPlane plane1{0, WordBuffer(plane1_capacity(pair_count))};
  std::array<std::uint32_t, 2> state;
  code_planes<2>({input.data(), input.data() + 1}, 2, pair_count, context_bits, plane_tables,
                 plane_undo, state, {&plane0.words, &plane1.words});
  plane0.state = state[0];
  plane1.state = state[1];
  return put_body(input, context_bits, plane0, plane1);
}

std::expected<std::vector<std::uint8_t>, AransError> decode_plane(
    std::span<const std::uint8_t> coded, std::size_t count, unsigned context_bits) {
  if (count == 0) return std::vector<std::uint8_t>{};
  QUARNEL_CHECK(context_bits <= 8, AransError::InconsistentLength);
  auto plane = start_plane(coded);
  if (!plane) return std::unexpected(plane.error());
  std::array<PlaneDecoder, 1> planes = {*plane};
  return decode_interleaved<1>(planes, coded.size(), count, count, context_bits, 0, false);
}

std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> body, std::size_t keep) {
  return decode_stream(body, keep, 1);
}

std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> body, std::size_t keep, unsigned threads) {
  const std::size_t n = body.size();
  if (n < kRawLimit) {
    return std::vector<std::uint8_t>(body.begin(), body.begin() + std::min(n, keep));
  }

  const unsigned context_bits = body[1];
  QUARNEL_CHECK(context_bits <= 8, AransError::InconsistentLength);
  std::size_t position = 2;
  const auto pair_count = rv(body, position);
  if (!pair_count) return std::unexpected(pair_count.error());
  QUARNEL_CHECK(*pair_count <= kMaxPairCount, AransError::InconsistentLength);
  const auto plane0_size = rv(body, position);
  if (!plane0_size) return std::unexpected(plane0_size.error());
  QUARNEL_CHECK(*plane0_size <= std::numeric_limits<std::size_t>::max() - position,
                AransError::InconsistentLength);
  const std::size_t plane0_end = position + *plane0_size;
  const std::size_t odd = body[0] & 1;
  QUARNEL_CHECK(plane0_end <= n - odd, AransError::Truncated);

  const std::size_t count = *pair_count;
  if (count == 0) {
    std::vector<std::uint8_t> out(std::min(odd, keep));
    if (!out.empty()) out[0] = body[n - 1];
    return out;
  }
  const auto coded0 = body.subspan(position, plane0_end - position);
  const auto coded1 = body.subspan(plane0_end, n - odd - plane0_end);
  auto plane0 = start_plane(coded0);
  if (!plane0) return std::unexpected(plane0.error());
  auto plane1 = start_plane(coded1);
  if (!plane1) return std::unexpected(plane1.error());
  std::array<PlaneDecoder, 2> planes = {*plane0, *plane1};
  // Pairs are kept while the caller wants a byte of them; the trailing byte only with
  // every pair.
  const std::size_t stored = std::min(count, keep / 2 + (keep & 1));
  const bool threaded = threads >= 2 && count >= kThreadedMinPairs;
  auto out = decode_interleaved<2>(planes, n, count, stored, context_bits, odd, threaded);
  if (!out) return out;
  if (stored == count && odd) out->back() = body[n - 1];
  if (out->size() > keep) out->resize(keep);
  return out;
}

std::expected<std::uint64_t, AransError> rv(std::span<const std::uint8_t> bytes,
                                            std::size_t& position) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < 9; ++i) {
    QUARNEL_CHECK(position < bytes.size(), AransError::Truncated);
    const std::uint8_t b = bytes[position++];
    value |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (!(b & 0x80)) return value;
  }
  // The tenth byte can only contribute bit 63; it must end the value.
  QUARNEL_CHECK(position < bytes.size(), AransError::Truncated);
  const std::uint8_t b = bytes[position++];
  QUARNEL_CHECK(!(b & 0x80), AransError::InconsistentLength);
  return value | std::uint64_t{b & 1u} << 63;
}

}  // namespace QUARNEL_ABI
}  // namespace quarnel

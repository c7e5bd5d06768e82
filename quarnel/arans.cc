#include "quarnel/arans.h"

#include "quarnel/arans_reciprocal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace quarnel {

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
static_assert(kProbScale == arans_detail::kFrequencyLimit);

// The container refuses plane lengths above 2^28 bytes.
constexpr std::uint64_t kMaxPairCount = std::uint64_t{1} << 28;

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

// A coded bit as the encoder's two passes see it: its frequency (1..4095) with the bit
// itself in bit 15. The start is then 0 for a 0 and 4096 - frequency for a 1.
constexpr std::uint32_t kSymbolBit = 0x8000;

// kModelStep[bit << 12 | P] = adapt(P, bit) << 16 | symbol of `bit` under P: one lookup
// per bit for the modelling pass and for the decoder's update.
constexpr std::array<std::uint32_t, 2 * kProbScale> kModelStep = [] {
  std::array<std::uint32_t, 2 * kProbScale> t{};
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    for (std::uint32_t p = 1; p < kProbScale; ++p) {
      const std::uint32_t symbol = bit ? (kProbScale - p) | kSymbolBit : p;
      t[bit << kProbBits | p] = adapt(p, bit) << 16 | symbol;
    }
  }
  return t;
}();

inline std::size_t table_size(unsigned context_bits) {
  return std::size_t{256} << context_bits;
}

// ---------------------------------------------------------------------------------------
// Encoder
//
// The modelling pass runs forwards through a plane and records every coded bit as a
// 16-bit symbol. The coding pass runs backwards over those symbols, because rANS is last
// in, first out. The words it emits go into the symbol array itself, from the top down:
// at most one word leaves per symbol, so the next free slot never drops below the symbol
// just read. Two planes are modelled and coded side by side so that their dependency
// chains (through the table, through the state) overlap.

// Records the eight symbols of byte b under the context row `row` and adapts the row.
[[gnu::always_inline]] inline void model_byte(std::uint16_t* row, std::uint32_t b,
                                              std::uint16_t* out) {
  const std::uint32_t marked = b | 0x100;
#pragma GCC unroll 8
  for (unsigned k = 0; k < 8; ++k) {
    // The node of bit k (most significant first) is a leading 1 followed by bits 7..8-k;
    // bit k itself moves to bit 12 of the lookup index.
    const std::uint32_t node = marked >> (8 - k);
    const std::uint32_t step = kModelStep[row[node] | ((marked << (5 + k)) & kProbScale)];
    out[k] = static_cast<std::uint16_t>(step);
    row[node] = static_cast<std::uint16_t>(step >> 16);
  }
}

// Models `count` bytes of N planes interleaved in `src` (plane j holds src[j],
// src[j + N], ...); plane j's symbols go to symbols[j], its table is tables[j].
template <std::size_t N>
void model_planes(const std::uint8_t* src, std::size_t count, unsigned context_bits,
                  std::array<std::uint16_t*, N> symbols, std::array<std::uint16_t*, N> tables) {
  const unsigned context_shift = 8 - context_bits;
  std::uint16_t* row0 = tables[0];  // the previous byte is 0 at the start
  std::uint16_t* row1 = tables[N - 1];
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t b0 = src[N * i];
    model_byte(row0, b0, symbols[0] + 8 * i);
    row0 = tables[0] + ((b0 >> context_shift) << 8);
    if constexpr (N == 2) {
      const std::uint32_t b1 = src[N * i + 1];
      model_byte(row1, b1, symbols[1] + 8 * i);
      row1 = tables[1] + ((b1 >> context_shift) << 8);
    }
  }
}

// Emits the low word of x when coding the symbol next would leave 32 bits.
[[gnu::always_inline]] inline void encode_renorm(std::uint32_t& x, std::uint16_t*& words,
                                                 std::uint32_t freq) {
  const std::uint32_t x_max = freq << kEncodeLimitShift;
  if (x >= x_max) {
    *--words = static_cast<std::uint16_t>(x);
    x >>= kWordBits;
  }
}

// x <- floor(x / freq) * M + x mod freq + start, written as x + start + q * (M - freq)
// with q = floor(x / freq) by reciprocal multiplication, exact as x < freq << 20.
[[gnu::always_inline]] inline void encode_put(std::uint32_t& x, std::uint32_t freq,
                                              std::uint32_t start) {
  x += start + arans_detail::divide_by_frequency(x, freq) * (kProbScale - freq);
}

[[gnu::always_inline]] inline void encode_symbol(std::uint32_t& x, std::uint16_t*& words,
                                                 std::uint32_t symbol) {
  const std::uint32_t freq = symbol & (kSymbolBit - 1);
  const std::uint32_t start = (kProbScale - freq) & (0u - (symbol >> 15));
  encode_renorm(x, words, freq);
  encode_put(x, freq, start);
}

// Codes N symbol arrays of `bits` symbols each, backwards. On return words[j] points at
// the first of plane j's words (they end at symbols[j] + bits) and states[j] holds its
// final state.
template <std::size_t N>
void code_planes(std::array<std::uint16_t*, N> symbols, std::size_t bits,
                 std::array<std::uint32_t, N>& states, std::array<std::uint16_t*, N>& words) {
  const std::uint16_t* s0 = symbols[0];
  const std::uint16_t* s1 = symbols[N - 1];
  std::uint32_t x0 = kStateLow, x1 = kStateLow;
  std::uint16_t* w0 = symbols[0] + bits;
  std::uint16_t* w1 = symbols[N - 1] + bits;
  for (std::size_t i = bits; i-- > 0;) {
    encode_symbol(x0, w0, s0[i]);
    if constexpr (N == 2) encode_symbol(x1, w1, s1[i]);
  }
  states[0] = x0;
  words[0] = w0;
  if constexpr (N == 2) {
    states[1] = x1;
    words[1] = w1;
  }
}

inline std::uint8_t* put_le32(std::uint8_t* out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out[k] = static_cast<std::uint8_t>(v >> (8 * k));
  return out + 4;
}

// Writes a coded plane: the state, then the words in the order the decoder reads them.
std::uint8_t* put_coded_plane(std::uint8_t* out, std::uint32_t state, const std::uint16_t* words,
                              const std::uint16_t* words_end) {
  out = put_le32(out, state);
  const auto n = static_cast<std::size_t>(words_end - words);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, words, 2 * n);
    return out + 2 * n;
  } else {
    for (std::size_t k = 0; k < n; ++k) {
      *out++ = static_cast<std::uint8_t>(words[k]);
      *out++ = static_cast<std::uint8_t>(words[k] >> 8);
    }
    return out;
  }
}

inline std::size_t coded_plane_size(const std::uint16_t* words, const std::uint16_t* words_end) {
  return 4 + 2 * static_cast<std::size_t>(words_end - words);
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

// ---------------------------------------------------------------------------------------
// Decoder

// Every check on untrusted bytes goes through this macro: it returns `error` from the
// enclosing function unless `ok` holds.
#define ARANS_REQUIRE(ok, error)                 \
  do {                                           \
    if (!(ok)) [[unlikely]]                      \
      return std::unexpected(AransError::error); \
  } while (false)

// Passes a failure of `expr` (a std::expected<void, AransError>) on to the caller.
#define ARANS_TRY(expr)                               \
  do {                                                \
    if (auto arans_r = (expr); !arans_r) [[unlikely]] \
      return std::unexpected(arans_r.error());        \
  } while (false)

inline std::uint32_t get_le16(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
}

inline std::uint32_t get_le32(const std::uint8_t* p) {
  return get_le16(p) | get_le16(p + 2) << 16;
}

struct PlaneDecoder {
  std::uint32_t x;
  std::uint32_t node;  // the current bit's node, 1..255
  std::uint32_t p;     // its probability, read one step ahead
  std::uint16_t* row;  // the table row of the current byte's context
  std::uint16_t* table;
  const std::uint8_t* next;  // the next renormalisation word
  const std::uint8_t* end;   // the end of the plane's coded bytes
};

// Decodes bit k (most significant first) of the current byte.
template <unsigned k>
[[gnu::always_inline]] inline std::expected<void, AransError> decode_bit(PlaneDecoder& d,
                                                                         unsigned context_shift) {
  const std::uint32_t x = d.x;
  const std::uint32_t p = d.p;
  const std::uint32_t node = d.node;
  // Both candidates for the next bit's probability are read now, before this bit is
  // known: the children of this node, or node 1 of the next byte's two possible rows.
  std::uint32_t next0, next1;
  if constexpr (k < 7) {
    next0 = d.row[2 * node];
    next1 = d.row[2 * node + 1];
  } else {
    const std::uint32_t byte0 = 2 * node - 0x100;
    next0 = d.table[((byte0 >> context_shift) << 8) + 1];
    next1 = d.table[(((byte0 + 1) >> context_shift) << 8) + 1];
  }
  // With h = x >> 12 and m = x & 4095 the step x <- freq * h + m - start is
  //   bit 0 (m < P):  P h + m
  //   bit 1:          (4096 - P) h + m - P = x - P (h + 1)
  // so both outcomes come from the one product P h.
  const std::uint32_t m = x & kProbMask;
  const std::uint32_t ph = p * (x >> kProbBits);
  const std::uint32_t bit = m >= p;
  const std::uint32_t mask = 0u - bit;
  d.x = bit ? x - p - ph : ph + m;
  d.row[node] = static_cast<std::uint16_t>(kModelStep[bit << kProbBits | p] >> 16);
  d.node = 2 * node + bit;
  d.p = next0 ^ ((next0 ^ next1) & mask);  // no branch on an unpredictable bit
  // Pull words in until x is back in [L, 2^32). From a state >= L a step leaves at least
  // 16, so one word suffices; only a corrupt initial state below L can take more.
  while (d.x < kStateLow) {
    ARANS_REQUIRE(d.end - d.next >= 2, Truncated);
    d.x = d.x << kWordBits | get_le16(d.next);
    d.next += 2;
  }
  return {};
}

// Decodes output bytes begin..end-1 of N planes side by side; plane j's byte i goes to
// out[N * i + j].
template <std::size_t N>
std::expected<void, AransError> decode_planes(std::array<PlaneDecoder, N>& planes,
                                              unsigned context_bits, std::uint8_t* out,
                                              std::size_t begin, std::size_t end) {
  const unsigned context_shift = 8 - context_bits;
  PlaneDecoder d0 = planes[0];
  PlaneDecoder d1 = planes[N - 1];
  for (std::size_t i = begin; i < end; ++i) {
#define ARANS_DECODE_BIT(k)                    \
  ARANS_TRY(decode_bit<k>(d0, context_shift)); \
  if constexpr (N == 2) ARANS_TRY(decode_bit<k>(d1, context_shift))
    ARANS_DECODE_BIT(0);
    ARANS_DECODE_BIT(1);
    ARANS_DECODE_BIT(2);
    ARANS_DECODE_BIT(3);
    ARANS_DECODE_BIT(4);
    ARANS_DECODE_BIT(5);
    ARANS_DECODE_BIT(6);
    ARANS_DECODE_BIT(7);
#undef ARANS_DECODE_BIT
    // After eight bits node - 256 is the byte; it selects the next byte's row.
    const std::uint32_t byte0 = d0.node - 0x100;
    out[N * i] = static_cast<std::uint8_t>(byte0);
    d0.row = d0.table + ((byte0 >> context_shift) << 8);
    d0.node = 1;
    if constexpr (N == 2) {
      const std::uint32_t byte1 = d1.node - 0x100;
      out[N * i + 1] = static_cast<std::uint8_t>(byte1);
      d1.row = d1.table + ((byte1 >> context_shift) << 8);
      d1.node = 1;
    }
  }
  planes[0] = d0;
  if constexpr (N == 2) planes[1] = d1;
  return {};
}

// Starts decoding a plane: reads its initial state.
std::expected<PlaneDecoder, AransError> start_plane(std::span<const std::uint8_t> coded) {
  ARANS_REQUIRE(coded.size() >= 4, Truncated);
  return PlaneDecoder{get_le32(coded.data()),     1, kProbInit, nullptr, nullptr, coded.data() + 4,
                      coded.data() + coded.size()};
}

// Decodes `count` bytes of each of N planes into out[N * i + j] and leaves `tail` extra
// bytes at the end of the result. The output grows as decoding advances instead of being
// allocated in full up front: a short body that claims a huge count fails as truncated
// after touching little memory, while every result stays that of a full allocation.
template <std::size_t N>
std::expected<std::vector<std::uint8_t>, AransError> decode_interleaved(
    std::array<PlaneDecoder, N>& planes, std::size_t coded_bytes, std::size_t count,
    unsigned context_bits, std::size_t tail) {
  // Enough for any ordinary body in one go; compression ratios beyond 16:1 (long runs of
  // one byte) grow the buffer geometrically.
  constexpr std::size_t kFirstChunk = std::size_t{1} << 20;
  try {
    std::vector<std::uint16_t> tables(N * table_size(context_bits), kProbInit);
    for (std::size_t j = 0; j < N; ++j) {
      planes[j].table = tables.data() + j * table_size(context_bits);
      planes[j].row = planes[j].table;
    }
    std::vector<std::uint8_t> out;
    std::size_t done = 0;
    std::size_t limit = std::min(count, (kFirstChunk + 16 * coded_bytes) / N);
    while (true) {
      const std::size_t size = N * limit + (limit == count ? tail : 0);
      out.reserve(size);  // exactly: the last chunk leaves no slack
      out.resize(size);
      ARANS_TRY(decode_planes<N>(planes, context_bits, out.data(), done, limit));
      if (limit == count) break;
      done = limit;
      limit = count - limit > limit ? 2 * limit : count;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(AransError::InconsistentLength);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public entry points

std::vector<std::uint8_t> encode_plane(std::span<const std::uint8_t> plane, unsigned context_bits) {
  assert(context_bits <= 8);
  context_bits = std::min(context_bits, 8u);
  if (plane.empty()) return {};
  const std::size_t bits = 8 * plane.size();
  // Every symbol is written by the modelling pass before it is read: no zero fill.
  const auto symbols = std::make_unique_for_overwrite<std::uint16_t[]>(bits);
  std::vector<std::uint16_t> table(table_size(context_bits), kProbInit);
  model_planes<1>(plane.data(), plane.size(), context_bits, {symbols.get()}, {table.data()});
  std::array<std::uint32_t, 1> state;
  std::array<std::uint16_t*, 1> words;
  code_planes<1>({symbols.get()}, bits, state, words);
  const std::uint16_t* words_end = symbols.get() + bits;
  std::vector<std::uint8_t> out(coded_plane_size(words[0], words_end));
  put_coded_plane(out.data(), state[0], words[0], words_end);
  return out;
}

std::vector<std::uint8_t> encode_stream(std::span<const std::uint8_t> input) {
  const std::size_t n = input.size();
  if (n < kRawLimit) return {input.begin(), input.end()};
  const std::size_t pair_count = n / 2;
  const unsigned context_bits = n < kWideContextInput ? 3 : 8;
  const std::size_t bits = 8 * pair_count;

  // 16 bytes of symbols per plane byte; the words of both planes end up in place.
  // Every symbol is written by the modelling pass before it is read: no zero fill.
  const auto symbols = std::make_unique_for_overwrite<std::uint16_t[]>(2 * bits);
  std::array<std::uint16_t*, 2> planes = {symbols.get(), symbols.get() + bits};
  {
    std::vector<std::uint16_t> tables(2 * table_size(context_bits), kProbInit);
    model_planes<2>(input.data(), pair_count, context_bits, planes,
                    {tables.data(), tables.data() + table_size(context_bits)});
  }
  std::array<std::uint32_t, 2> state;
  std::array<std::uint16_t*, 2> words;
  code_planes<2>(planes, bits, state, words);

  const std::size_t plane0_size = coded_plane_size(words[0], planes[0] + bits);
  const std::size_t plane1_size = coded_plane_size(words[1], planes[1] + bits);
  const std::size_t odd = n & 1;
  std::vector<std::uint8_t> body(2 + leb128_size(pair_count) + leb128_size(plane0_size) +
                                 plane0_size + plane1_size + odd);
  std::uint8_t* out = body.data();
  *out++ = static_cast<std::uint8_t>(odd);
  *out++ = static_cast<std::uint8_t>(context_bits);
  out = put_leb128(out, pair_count);
  out = put_leb128(out, plane0_size);
  out = put_coded_plane(out, state[0], words[0], planes[0] + bits);
  out = put_coded_plane(out, state[1], words[1], planes[1] + bits);
  if (odd) *out++ = input[n - 1];
  assert(out == body.data() + body.size());
  return body;
}

std::expected<std::vector<std::uint8_t>, AransError> decode_plane(
    std::span<const std::uint8_t> coded, std::size_t count, unsigned context_bits) {
  if (count == 0) return std::vector<std::uint8_t>{};
  ARANS_REQUIRE(context_bits <= 8, InconsistentLength);
  auto plane = start_plane(coded);
  if (!plane) return std::unexpected(plane.error());
  std::array<PlaneDecoder, 1> planes = {*plane};
  return decode_interleaved<1>(planes, coded.size(), count, context_bits, 0);
}

std::expected<std::vector<std::uint8_t>, AransError> decode_stream(
    std::span<const std::uint8_t> body) {
  const std::size_t n = body.size();
  if (n < kRawLimit) return std::vector<std::uint8_t>(body.begin(), body.end());

  const unsigned context_bits = body[1];
  ARANS_REQUIRE(context_bits <= 8, InconsistentLength);
  std::size_t position = 2;
  const auto pair_count = rv(body, position);
  if (!pair_count) return std::unexpected(pair_count.error());
  ARANS_REQUIRE(*pair_count <= kMaxPairCount, InconsistentLength);
  const auto plane0_size = rv(body, position);
  if (!plane0_size) return std::unexpected(plane0_size.error());
  ARANS_REQUIRE(*plane0_size <= std::numeric_limits<std::size_t>::max() - position,
                InconsistentLength);
  const std::size_t plane0_end = position + *plane0_size;
  const std::size_t odd = body[0] & 1;
  ARANS_REQUIRE(plane0_end <= n - odd, Truncated);

  const std::size_t count = *pair_count;
  if (count == 0) {
    std::vector<std::uint8_t> out(odd);
    if (odd) out[0] = body[n - 1];
    return out;
  }
  const auto coded0 = body.subspan(position, plane0_end - position);
  const auto coded1 = body.subspan(plane0_end, n - odd - plane0_end);
  auto plane0 = start_plane(coded0);
  if (!plane0) return std::unexpected(plane0.error());
  auto plane1 = start_plane(coded1);
  if (!plane1) return std::unexpected(plane1.error());
  std::array<PlaneDecoder, 2> planes = {*plane0, *plane1};
  auto out = decode_interleaved<2>(planes, n, count, context_bits, odd);
  if (out && odd) out->back() = body[n - 1];
  return out;
}

std::expected<std::uint64_t, AransError> rv(std::span<const std::uint8_t> bytes,
                                            std::size_t& position) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < 9; ++i) {
    ARANS_REQUIRE(position < bytes.size(), Truncated);
    const std::uint8_t b = bytes[position++];
    value |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (!(b & 0x80)) return value;
  }
  // The tenth byte can only contribute bit 63; it must end the value.
  ARANS_REQUIRE(position < bytes.size(), Truncated);
  const std::uint8_t b = bytes[position++];
  ARANS_REQUIRE(!(b & 0x80), InconsistentLength);
  return value | std::uint64_t{b & 1u} << 63;
}

}  // namespace quarnel

// Throughput of the rANS stream coder beside raw DEFLATE (zlib level 6, and the
// coder's own libdeflate level 6) on the same coefficient bytes: 4 MiB of quantised
// wavelet details, int16 little-endian; and the latency of the decision chain that
// bounds the rANS coder, on the same bytes.
#include "quarnel/arans.h"

#include "quarnel/arans_decide.h"
#include "quarnel/arans_reciprocal.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "quarnel/raw_deflate.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kInputBytes = std::size_t{4} << 20;

// Detail coefficients of a smooth signal after quantisation: Laplacian around 0 with a
// mean magnitude of a few steps, so most values are small and the high bytes are almost
// all 0x00 or 0xFF.
const Bytes& coefficients() {
  static const Bytes data = [] {
    std::mt19937_64 rng(12345);
    std::exponential_distribution<double> magnitude(1.0 / 4.0);
    std::bernoulli_distribution negative(0.5);
    Bytes out(kInputBytes);
    for (std::size_t i = 0; i < out.size(); i += 2) {
      const double v = std::min(std::round(magnitude(rng)), 32767.0);
      const auto c = static_cast<std::uint16_t>(static_cast<std::int16_t>(negative(rng) ? -v : v));
      out[i] = static_cast<std::uint8_t>(c);
      out[i + 1] = static_cast<std::uint8_t>(c >> 8);
    }
    return out;
  }();
  return data;
}

Bytes deflate_raw(const Bytes& in) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes inflate_raw(const Bytes& in, std::size_t size) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) std::abort();
  Bytes out(size);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (inflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  inflateEnd(&z);
  return out;
}

void report(benchmark::State& state, std::size_t coded_size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputBytes));
  state.counters["coded_bytes"] = static_cast<double>(coded_size);
  state.counters["ratio"] = static_cast<double>(kInputBytes) / static_cast<double>(coded_size);
}

// ---------------------------------------------------------------------------------------
// The decision chain. Each plane is one serial chain of binary decisions: a decision's state
// depends on the state before it and on P, and P on the plane's bits before it. The loops
// below run nothing but that chain over the bench's two planes (8 context bits, as the
// stream codes 4 MiB): the step, the renormalisation, the model's lookups and updates; no
// bounds checks, no output, no container. Their time per decision is the floor for a coder
// of this format on this machine. One chain yields a plane byte per 8 decisions; the two
// planes are independent chains, so interleaved or on two cores they yield at most twice
// that. Each loop checks that it followed the real chain: the decoder's bytes sum to the
// plane's sum, the encoder ends in the state encode_plane wrote.

constexpr unsigned kChainContextBits = 8;

struct ChainPlane {
  Bytes plane;
  Bytes coded;                         // encode_plane(plane)
  std::vector<std::uint16_t> symbols;  // 2 P + bit per decision, in modelling order
  std::uint64_t sum = 0;
};

constexpr std::uint32_t chain_adapt(std::uint32_t p, std::uint32_t bit) {
  return bit ? p - (p >> 4) : p + ((4096 - p) >> 4);
}

// chain_adapt(P, bit) at 2 P + bit.
const std::vector<std::uint16_t>& chain_adapted() {
  static const std::vector<std::uint16_t> table = [] {
    std::vector<std::uint16_t> t(2 * 4096);
    for (std::uint32_t i = 2; i < t.size(); ++i) {
      t[i] = static_cast<std::uint16_t>(chain_adapt(i / 2, i % 2));
    }
    return t;
  }();
  return table;
}

const std::array<ChainPlane, 2>& chain_planes() {
  static const std::array<ChainPlane, 2> planes = [] {
    std::array<ChainPlane, 2> out;
    const Bytes& in = coefficients();
    for (std::size_t j = 0; j < 2; ++j) {
      ChainPlane& c = out[j];
      for (std::size_t i = j; i < in.size(); i += 2) c.plane.push_back(in[i]);
      c.coded = quarnel::encode_plane(c.plane, kChainContextBits);
      std::vector<std::uint16_t> table(std::size_t{256} << kChainContextBits, 2048);
      std::uint32_t previous = 0;
      for (const std::uint8_t b : c.plane) {
        std::uint16_t* row = table.data() + (previous << 8);
        std::uint32_t node = 1;
        for (int k = 7; k >= 0; --k) {
          const std::uint32_t bit = (b >> k) & 1, p = row[node];
          c.symbols.push_back(static_cast<std::uint16_t>(2 * p + bit));
          row[node] = static_cast<std::uint16_t>(chain_adapt(p, bit));
          node = 2 * node + bit;
        }
        previous = b;
        c.sum += b;
      }
    }
    return out;
  }();
  return planes;
}

// Rates for a run over both planes with state.range(0) chains side by side: coefficient
// bytes per second, the time of a step (one decision of every chain running), and for one
// chain the ceiling two independent chains would reach.
void chain_report(benchmark::State& state, std::size_t plane_bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * plane_bytes));
  const auto chains = static_cast<std::size_t>(state.range(0));
  const auto steps = static_cast<double>(8 * 2 * plane_bytes / chains);
  state.counters["s_per_step"] = benchmark::Counter(
      steps, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (chains == 1) {
    state.counters["two_chains"] = benchmark::Counter(static_cast<double>(4 * plane_bytes),
                                                      benchmark::Counter::kIsIterationInvariantRate,
                                                      benchmark::Counter::kIs1024);
  }
}

// One plane's decoder: state, P of the next decision, the current byte's row, the table
// and the next renormalisation word.
struct DecodeChain {
  std::uint32_t x;
  std::size_t p = 2048;
  std::uint16_t* row;
  std::uint16_t* table;
  const std::uint8_t* next;
  std::uint64_t sum = 0;

  DecodeChain(const Bytes& coded, std::vector<std::uint16_t>& t)
      : x(coded[0] | coded[1] << 8 | coded[2] << 16 | std::uint32_t{coded[3]} << 24),
        row(t.data()),
        table(t.data()),
        next(coded.data() + 4) {}
};

// Decision k of a byte, with the node of the decision. P of both children of the node is
// loaded before the bit is known and the bit selects, so the lookup stays off the chain;
// what remains on it is x -> x >> 12 -> P (x >> 12) -> the bit's outcome -> renormalised x.
template <int k>
[[gnu::always_inline]] inline void decode_chain_bit(DecodeChain& c, std::size_t& node,
                                                    const std::uint16_t* adapted) {
  std::size_t p_next, p1;
  std::uint16_t* next_row0 = nullptr;
  if constexpr (k < 7) {
    p_next = c.row[2 * node];
    p1 = c.row[2 * node + 1];
  } else {
    next_row0 = c.table + ((2 * node - 256) << 8);
    p_next = next_row0[1];
    p1 = next_row0[256 + 1];
  }
  const auto p = static_cast<std::uint32_t>(c.p);
  const std::uint32_t m = c.x & 4095, ph = p * (c.x >> 12);
  std::uint32_t x = c.x - p - ph;
  const std::size_t bit = quarnel::arans_detail::decide(p, m, x, ph + m, p_next, p1);
  c.row[node] = adapted[2 * c.p + bit];
  node = 2 * node + bit;
  c.p = p_next;
  if constexpr (k == 7) c.row = next_row0 + (bit << 8);
  if (x < 65536) {
    x = x << 16 | c.next[0] | c.next[1] << 8;
    c.next += 2;
  }
  c.x = x;
}

// Decisions k to 7 of a byte of one chain or, interleaved decision by decision, of two.
template <int lanes, int k = 0>
[[gnu::always_inline]] inline void decode_chain_bits(DecodeChain& c0, DecodeChain& c1,
                                                     std::size_t& node0, std::size_t& node1,
                                                     const std::uint16_t* adapted) {
  decode_chain_bit<k>(c0, node0, adapted);
  if constexpr (lanes == 2) decode_chain_bit<k>(c1, node1, adapted);
  if constexpr (k < 7) decode_chain_bits<lanes, k + 1>(c0, c1, node0, node1, adapted);
}

template <int lanes>
[[gnu::always_inline]] inline void decode_chain_byte(DecodeChain& c0, DecodeChain& c1,
                                                     const std::uint16_t* adapted) {
  std::size_t node0 = 1, node1 = 1;
  decode_chain_bits<lanes>(c0, c1, node0, node1, adapted);
  c0.sum += node0 - 256;
  if constexpr (lanes == 2) c1.sum += node1 - 256;
}

// The decoding chains of both planes, one after the other (argument 1) or interleaved (2).
void BM_AransDecodeChain(benchmark::State& state) {
  const auto& planes = chain_planes();
  const std::uint16_t* adapted = chain_adapted().data();
  const std::size_t count = planes[0].plane.size();
  std::vector<std::uint16_t> t0(std::size_t{256} << kChainContextBits),
      t1(std::size_t{256} << kChainContextBits);
  for (auto _ : state) {
    std::fill(t0.begin(), t0.end(), 2048);
    std::fill(t1.begin(), t1.end(), 2048);
    DecodeChain c0(planes[0].coded, t0), c1(planes[1].coded, t1);
    if (state.range(0) == 2) {
      for (std::size_t i = 0; i < count; ++i) decode_chain_byte<2>(c0, c1, adapted);
    } else {
      for (std::size_t i = 0; i < count; ++i) decode_chain_byte<1>(c0, c0, adapted);
      for (std::size_t i = 0; i < count; ++i) decode_chain_byte<1>(c1, c1, adapted);
    }
    if (c0.sum != planes[0].sum || c1.sum != planes[1].sum) std::abort();
  }
  chain_report(state, count);
}

// Per symbol 2 P + bit: what a step of the backward pass needs of it.
struct ChainSymbol {
  std::uint64_t reciprocal;  // of the frequency f, see arans_reciprocal.h
  std::uint32_t limit;       // 256 f
  std::uint32_t start;
  std::uint32_t complement;  // 4096 - f
};

const std::vector<ChainSymbol>& chain_symbols() {
  static const std::vector<ChainSymbol> symbols = [] {
    std::vector<ChainSymbol> out(2 * 4096);
    for (std::uint32_t p = 1; p < 4096; ++p) {
      for (std::uint32_t bit = 0; bit < 2; ++bit) {
        const std::uint32_t f = bit ? 4096 - p : p;
        out[2 * p + bit] = {quarnel::arans_detail::kReciprocal[f], 256 * f, bit ? p : 0, 4096 - f};
      }
    }
    return out;
  }();
  return symbols;
}

// One plane's encoder in the backward pass: the state, the pending decision's symbol and
// where the next word goes.
struct EncodeChain {
  std::uint32_t x = 65536;
  const std::uint16_t* symbol;
  std::uint16_t* words;
};

// Codes the pending decision and makes the one before it pending:
//   x <- floor(x / f) 4096 + x mod f + start = x + start + q (4096 - f)
// with q = floor(x / f) by reciprocal. The pending decision's renormalisation (the result
// reaching 2^20 f') is q >= 256 f' and leaves q >> 4, so it is decided from q. What
// remains on the chain: x -> x m_f -> q -> q (4096 - f) -> x.
[[gnu::always_inline]] inline void encode_chain_step(EncodeChain& c, const ChainSymbol* table) {
  const ChainSymbol& s = table[*c.symbol];
  const ChainSymbol& n = table[*--c.symbol];
  const std::uint32_t q = quarnel::arans_detail::divide_by_reciprocal(c.x, s.reciprocal);
  std::uint32_t x = c.x + s.start + q * s.complement;
  if (q >= n.limit) {
    *c.words++ = static_cast<std::uint16_t>(x);
    x = q >> 4;
  }
  c.x = x;
}

[[gnu::always_inline]] inline std::uint32_t encode_chain_end(const EncodeChain& c,
                                                             const ChainSymbol* table) {
  const ChainSymbol& s = table[*c.symbol];
  return c.x + s.start +
         quarnel::arans_detail::divide_by_reciprocal(c.x, s.reciprocal) * s.complement;
}

// The backward coding chains of both planes from their recorded symbols, one after the
// other (argument 1) or interleaved (2).
void BM_AransEncodeChain(benchmark::State& state) {
  const auto& planes = chain_planes();
  const ChainSymbol* table = chain_symbols().data();
  const std::size_t decisions = planes[0].symbols.size();
  std::vector<std::uint16_t> w0(planes[0].coded.size() / 2), w1(planes[1].coded.size() / 2);
  for (auto _ : state) {
    EncodeChain c0{65536, planes[0].symbols.data() + decisions - 1, w0.data()};
    EncodeChain c1{65536, planes[1].symbols.data() + decisions - 1, w1.data()};
    if (state.range(0) == 2) {
      for (std::size_t d = 1; d < decisions; ++d) {
        encode_chain_step(c0, table);
        encode_chain_step(c1, table);
      }
    } else {
      for (std::size_t d = 1; d < decisions; ++d) encode_chain_step(c0, table);
      for (std::size_t d = 1; d < decisions; ++d) encode_chain_step(c1, table);
    }
    const std::array<std::uint32_t, 2> x = {encode_chain_end(c0, table),
                                            encode_chain_end(c1, table)};
    for (std::size_t j = 0; j < 2; ++j) {
      const Bytes& coded = planes[j].coded;
      if (x[j] != (coded[0] | coded[1] << 8 | coded[2] << 16 | std::uint32_t{coded[3]} << 24)) {
        std::abort();
      }
    }
    benchmark::DoNotOptimize(w0.data());
    benchmark::DoNotOptimize(w1.data());
  }
  chain_report(state, decisions / 8);
}

// The stream coder with the thread count of the argument; timed by the wall clock, so
// that one and two threads compare.
void BM_AransEncode(benchmark::State& state) {
  const Bytes& in = coefficients();
  const auto threads = static_cast<unsigned>(state.range(0));
  std::size_t coded = 0;
  for (auto _ : state) {
    Bytes body = quarnel::encode_stream(in, threads);
    coded = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  report(state, coded);
}

void BM_AransDecode(benchmark::State& state) {
  const Bytes& in = coefficients();
  const auto threads = static_cast<unsigned>(state.range(0));
  const Bytes body = quarnel::encode_stream(in);
  if (quarnel::decode_stream(body, SIZE_MAX, threads) != in) std::abort();
  for (auto _ : state) {
    auto out = quarnel::decode_stream(body, SIZE_MAX, threads);
    benchmark::DoNotOptimize(out->data());
  }
  report(state, body.size());
}

// The DEFLATE figures also in MB/s (10^6 bytes of input per second), shown as
// "MB=.../s".
void report_mb(benchmark::State& state, std::size_t coded_size) {
  report(state, coded_size);
  state.counters["MB"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kInputBytes) / 1e6, benchmark::Counter::kIsRate);
}

void BM_DeflateLevel6(benchmark::State& state) {
  const Bytes& in = coefficients();
  std::size_t coded = 0;
  for (auto _ : state) {
    Bytes out = deflate_raw(in);
    coded = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report_mb(state, coded);
}

void BM_Inflate(benchmark::State& state) {
  const Bytes& in = coefficients();
  const Bytes coded = deflate_raw(in);
  if (inflate_raw(coded, in.size()) != in) std::abort();
  for (auto _ : state) {
    Bytes out = inflate_raw(coded, in.size());
    benchmark::DoNotOptimize(out.data());
  }
  report_mb(state, coded.size());
}

// The coder's compressor: libdeflate level 6 over the whole buffer.
void BM_LibdeflateLevel6(benchmark::State& state) {
  const Bytes& in = coefficients();
  std::size_t coded = 0;
  for (auto _ : state) {
    Bytes out;
    if (!quarnel::deflate_append(in, out)) std::abort();
    coded = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  report_mb(state, coded);
}

void BM_LibdeflateInflate(benchmark::State& state) {
  const Bytes& in = coefficients();
  Bytes coded;
  if (!quarnel::deflate_append(in, coded) || inflate_raw(coded, in.size()) != in) std::abort();
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (d == nullptr) std::abort();
  for (auto _ : state) {
    Bytes out(in.size());
    std::size_t produced = 0;
    if (libdeflate_deflate_decompress_ex(d, coded.data(), coded.size(), out.data(), out.size(),
                                         nullptr, &produced) != LIBDEFLATE_SUCCESS ||
        produced != in.size()) {
      std::abort();
    }
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_decompressor(d);
  report_mb(state, coded.size());
}

BENCHMARK(BM_AransEncodeChain)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AransDecodeChain)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AransEncode)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AransDecode)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DeflateLevel6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibdeflateLevel6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibdeflateInflate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

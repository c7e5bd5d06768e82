// Throughput of the rANS stream coder beside raw DEFLATE (zlib level 6, and the
// coder's own libdeflate level 6) on the same coefficient bytes: 4 MiB of quantised
// wavelet details, int16 little-endian.
#include "quarnel/arans.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

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

void BM_AransEncode(benchmark::State& state) {
  const Bytes& in = coefficients();
  std::size_t coded = 0;
  for (auto _ : state) {
    Bytes body = quarnel::encode_stream(in);
    coded = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  report(state, coded);
}

void BM_AransDecode(benchmark::State& state) {
  const Bytes& in = coefficients();
  const Bytes body = quarnel::encode_stream(in);
  if (quarnel::decode_stream(body) != in) std::abort();
  for (auto _ : state) {
    auto out = quarnel::decode_stream(body);
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

BENCHMARK(BM_AransEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AransDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateLevel6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibdeflateLevel6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibdeflateInflate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

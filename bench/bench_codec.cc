// Throughput and peak memory of compress() and decompress().
//
// Every benchmark reports MB/s of float32 signal (4 bytes per sample, in for
// compress, out for decompress) and, from one extra untimed call, the peak of
// live heap bytes during the call divided by the signal's size in bytes
// ("peak/input"). The heap is counted by the operator new/delete of
// tests/support/heap_probe.cc.
//
//   build/bench/bench_codec --benchmark_filter=cdf97

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "heap_probe.h"
#include "quarnel/quarnel.h"

namespace {

using quarnel::CoderChoice;
using quarnel::CompressionOptions;
using quarnel::WaveletMethod;

// A sensor-like trace: a few sines and a little deterministic noise.
std::vector<float> make_signal(std::size_t n) {
  std::vector<float> x(n);
  std::uint64_t state = 0x243F6A8885A308D3ull;
  for (std::size_t i = 0; i < n; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const float jitter = static_cast<float>(static_cast<std::int32_t>(state >> 40) - (1 << 23)) /
                         static_cast<float>(1 << 23);
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(2.0 * std::sin(t * 0.0021) + 0.7 * std::sin(t * 0.037) +
                              0.2 * std::sin(t * 0.41) + 0.02 * jitter);
  }
  return x;
}

template <typename F>
double peak_ratio(F&& call, std::size_t input_bytes) {
  const std::size_t peak = peak_heap::during(call);
  return static_cast<double>(peak) / static_cast<double>(input_bytes);
}

CompressionOptions options_of(const benchmark::State& state) {
  CompressionOptions options;
  options.method = static_cast<WaveletMethod>(state.range(1));
  options.coder = static_cast<CoderChoice>(state.range(2));
  return options;
}

void BM_compress(benchmark::State& state) {
  const std::vector<float> x = make_signal(static_cast<std::size_t>(state.range(0)));
  const CompressionOptions options = options_of(state);
  std::size_t stream_size = 0;
  const double peak =
      peak_ratio([&] { stream_size = quarnel::compress(x, options).value().size(); }, x.size() * 4);
  for (auto _ : state) {
    auto stream = quarnel::compress(x, options);
    benchmark::DoNotOptimize(stream);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * x.size() * 4));
  state.counters["peak/input"] = peak;
  state.counters["ratio"] = static_cast<double>(x.size() * 4) / static_cast<double>(stream_size);
}

void BM_decompress(benchmark::State& state) {
  const std::vector<float> x = make_signal(static_cast<std::size_t>(state.range(0)));
  const std::vector<std::uint8_t> stream = quarnel::compress(x, options_of(state)).value();
  const double peak =
      peak_ratio([&] { benchmark::DoNotOptimize(quarnel::decompress(stream)); }, x.size() * 4);
  for (auto _ : state) {
    auto y = quarnel::decompress(stream);
    benchmark::DoNotOptimize(y);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * x.size() * 4));
  state.counters["peak/input"] = peak;
}

// Arguments: samples, method (0 cdf53, 1 cdf97, 2 db4, 3 sym4), coder
// (0 deflate, 2 auto = rANS).
void codec_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"n", "method", "coder"});
  for (const std::int64_t n : {1000000, 10000000}) {
    for (const std::int64_t method : {0, 1, 2, 3}) {
      for (const std::int64_t coder : {2, 0}) b->Args({n, method, coder});
    }
  }
  b->Unit(benchmark::kMillisecond)->MinTime(0.3);
}

BENCHMARK(BM_compress)->Apply(codec_args);
BENCHMARK(BM_decompress)->Apply(codec_args);

}  // namespace

BENCHMARK_MAIN();

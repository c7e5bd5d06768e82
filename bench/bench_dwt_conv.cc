// Speed of the convolution kernels alone, in ns of CPU time per input sample:
// one forward and one inverse level over 10^6 float32 samples on caller-owned
// buffers, border Wrap, without the level driver's allocations and copies.
// The multi-level figures and the comparison with PyWavelets are in bench_dwt
// and dwt_vs_pywt.py.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "lumvet/lumvet.h"

namespace {

constexpr std::size_t kSamples = 1'000'000;

struct Wavelet {
  const char* name;
  lumvet::DwtExecutorHandle (*make)();
};

using lumvet::BorderMode;
using lumvet::DaubechiesFamily;
using lumvet::SymletFamily;
namespace L = lumvet::Lumvet;

const Wavelet kWavelets[] = {
    {"db1", [] { return L::make_daubechies_f32(DaubechiesFamily::Db1, BorderMode::Wrap); }},
    {"db4", [] { return L::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap); }},
    {"sym4", [] { return L::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap); }},
    // A 16-tap fixed kernel and the generic N-tap executor (14 taps).
    {"db8", [] { return L::make_daubechies_f32(DaubechiesFamily::Db8, BorderMode::Wrap); }},
    {"db7", [] { return L::make_daubechies_f32(DaubechiesFamily::Db7, BorderMode::Wrap); }},
};

std::vector<float> make_signal() {
  std::vector<float> x(kSamples);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(std::sin(0.001 * t) + 0.25 * std::sin(0.37 * t));
  }
  return x;
}

void set_counters(benchmark::State& state, std::size_t samples) {
  // Inverted rate of samples / 10^9: nanoseconds per sample.
  state.counters["ns_per_sample"] = benchmark::Counter(
      static_cast<double>(samples) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
}

void forward_level(benchmark::State& state, const Wavelet& wavelet) {
  static const std::vector<float> x = make_signal();
  const auto exec = wavelet.make();
  const lumvet::DwtSize size = exec->dwt_size(x.size());
  std::vector<float> a(size.approximation_length), d(size.details_length);
  for (auto _ : state) {
    if (!exec->execute_forward(x, a, d)) state.SkipWithError("forward failed");
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(d.data());
  }
  set_counters(state, x.size());
}

void inverse_level(benchmark::State& state, const Wavelet& wavelet) {
  static const std::vector<float> x = make_signal();
  const auto exec = wavelet.make();
  const lumvet::DwtSize size = exec->dwt_size(x.size());
  std::vector<float> a(size.approximation_length), d(size.details_length);
  if (!exec->execute_forward(x, a, d)) {
    state.SkipWithError("forward failed");
    return;
  }
  std::vector<float> y(exec->idwt_size(a.size(), d.size()));
  for (auto _ : state) {
    // The inverse adds into its output; the sums stay finite over the run.
    if (!exec->execute_inverse(a, d, y)) state.SkipWithError("inverse failed");
    benchmark::DoNotOptimize(y.data());
  }
  set_counters(state, y.size());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  for (const Wavelet& w : kWavelets) {
    const std::string name = w.name;
    benchmark::RegisterBenchmark(("forward_level/" + name).c_str(), forward_level, w)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("inverse_level/" + name).c_str(), inverse_level, w)
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

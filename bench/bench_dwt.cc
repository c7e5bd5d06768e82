// Multi-level wavelet decomposition and reconstruction speed, in ns of CPU
// time per input sample: multi_dwt, multi_idwt and the two together, 8 levels
// over 10^6 float32 samples by default.
//
// Flags besides Google Benchmark's:
//   --signal_file=PATH  raw little-endian float32 samples to transform instead
//                       of the built-in signal (dwt_vs_pywt.py passes the
//                       signal it also gives PyWavelets).
//   --warm_heap         keep freed memory in the process heap between calls,
//                       as a long-running host process (the Python
//                       interpreter) does, instead of returning it to the
//                       kernel and paying page faults on every call.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lumvet/lumvet.h"

namespace {

constexpr std::size_t kSamples = 1'000'000;
constexpr std::size_t kLevels = 8;

struct Wavelet {
  const char* name;
  lumvet::DwtExecutorHandle (*make)();
};

// One line per wavelet.
const Wavelet kWavelets[] = {
    {"cdf97", [] { return lumvet::Lumvet::make_cdf97_f32(); }},
    {"cdf53", [] { return lumvet::Lumvet::make_cdf53_f32(); }},
    // The orthogonal wavelets with the codec's border mode, periodic extension.
    {"db4",
     [] {
       return lumvet::Lumvet::make_daubechies_f32(lumvet::DaubechiesFamily::Db4,
                                                  lumvet::BorderMode::Wrap);
     }},
    {"sym4",
     [] {
       return lumvet::Lumvet::make_symlet_f32(lumvet::SymletFamily::Sym4, lumvet::BorderMode::Wrap);
     }},
};

std::vector<float> builtin_signal() {
  std::vector<float> x(kSamples);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(std::sin(0.001 * t) + 0.25 * std::sin(0.37 * t));
  }
  return x;
}

std::vector<float> load_signal(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> x(bytes.size() / sizeof(float));
  std::memcpy(x.data(), bytes.data(), x.size() * sizeof(float));
  return x;
}

lumvet::MultiDwtRef view_of(const lumvet::MultiDwt& m) {
  lumvet::MultiDwtRef ref;
  for (const auto& level : m.levels) ref.details.emplace_back(level.details);
  ref.approximation = m.levels.back().approximation;
  return ref;
}

void set_counters(benchmark::State& state, std::size_t samples) {
  // Inverted rate of samples: CPU time per input sample (printed as e.g.
  // "650ps"; seconds in the JSON output).
  state.counters["per_sample"] = benchmark::Counter(
      static_cast<double>(samples),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["samples"] = static_cast<double>(samples);
}

void round_trip(benchmark::State& state, const Wavelet& wavelet, const std::vector<float>& x) {
  const auto exec = wavelet.make();
  for (auto _ : state) {
    auto multi = exec->multi_dwt(x, kLevels);
    if (!multi) state.SkipWithError(multi.error().message().c_str());
    auto y = exec->multi_idwt(view_of(*multi));
    if (!y) state.SkipWithError(y.error().message().c_str());
    benchmark::DoNotOptimize(y->data());
  }
  set_counters(state, x.size());
}

void forward(benchmark::State& state, const Wavelet& wavelet, const std::vector<float>& x) {
  const auto exec = wavelet.make();
  for (auto _ : state) {
    auto multi = exec->multi_dwt(x, kLevels);
    if (!multi) state.SkipWithError(multi.error().message().c_str());
    benchmark::DoNotOptimize(multi->levels.data());
  }
  set_counters(state, x.size());
}

void inverse(benchmark::State& state, const Wavelet& wavelet, const std::vector<float>& x) {
  const auto exec = wavelet.make();
  auto multi = exec->multi_dwt(x, kLevels);
  if (!multi) {
    state.SkipWithError(multi.error().message().c_str());
    return;
  }
  const auto ref = view_of(*multi);
  for (auto _ : state) {
    auto y = exec->multi_idwt(ref);
    if (!y) state.SkipWithError(y.error().message().c_str());
    benchmark::DoNotOptimize(y->data());
  }
  set_counters(state, x.size());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string signal_file;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--signal_file=", 0) == 0) {
      signal_file = arg.substr(std::strlen("--signal_file="));
    } else if (arg == "--warm_heap") {
      mallopt(M_TRIM_THRESHOLD, 1 << 30);
      mallopt(M_MMAP_THRESHOLD, 1 << 30);
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  static const std::vector<float> signal =
      signal_file.empty() ? builtin_signal() : load_signal(signal_file);

  for (const Wavelet& w : kWavelets) {
    const std::string name = w.name;
    benchmark::RegisterBenchmark(("round_trip/" + name).c_str(), round_trip, w, signal)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("multi_dwt/" + name).c_str(), forward, w, signal)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("multi_idwt/" + name).c_str(), inverse, w, signal)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

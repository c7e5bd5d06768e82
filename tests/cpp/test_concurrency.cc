// Every test that starts threads. Many threads compressing and decompressing
// at once give the bytes and samples one thread gives: the codec shares
// nothing mutable, the executors are immutable, and the once-initialised
// dispatch tolerates concurrent first use. The threads start together at a
// latch, so the first calls of the process race each other: the arena
// writer's slot in the first test, the SIMD dispatch and the rest of the
// codec in the second; they run first in this binary for that reason.

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec_test_util.h"
#include "lumvet/filter_padding.h"
#include "lumvet/lumvet.h"
#include "quarnel/band_layout.h"

namespace quarnel {
namespace {

using namespace quarnel::testing;

struct Job {
  std::vector<float> signal;
  CompressionOptions options;
};

std::vector<Job> jobs() {
  std::vector<Job> out;
  int k = 0;
  for (const WaveletMethod method : kMethods) {
    for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
      const std::size_t n = 50 + 997 * static_cast<std::size_t>(k);
      out.push_back({k % 2 == 0 ? random_walk(n, k) : triangle_steps(n),
                     {.cutoff = kCutoffs[k % 3],
                      .coder = coder,
                      .method = method,
                      .scale = static_cast<std::uint8_t>(6 + k % 7)}});
      ++k;
    }
  }
  return out;
}

constexpr int kThreads = 8;
constexpr int kRounds = 3;

// The arena writer's write-once slot, asked for by every thread at once
// before anything else in the process has used it, hands out the one writer.
TEST(Concurrency, ArenaWriterSlotIsInstalledOnceUnderConcurrentFirstUse) {
  using lumvet::filter_padding::ArenaWriter1d;
  using Provider = lumvet::filter_padding::MakeArenaFactoryProvider<float>;
  std::vector<ArenaWriter1d> seen(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      seen[t] = Provider::make_arena_writer_1d_executor();
    });
  }
  for (auto& thread : threads) thread.join();
  for (const ArenaWriter1d writer : seen) {
    EXPECT_EQ(writer, &lumvet::filter_padding::write_arena_1d_impl);
  }
}

// Each thread runs every job kRounds times, starting at a different job, and
// keeps what it got; the main thread computes the references only afterwards,
// so the threads are the first to use the codec.
TEST(Concurrency, ThreadsGiveTheBytesOfOneThread) {
  const std::vector<Job> work = jobs();
  struct Result {
    Bytes stream;
    std::vector<float> samples;
    bool ok = false;
  };
  std::vector<std::vector<Result>> results(kThreads, std::vector<Result>(work.size()));
  std::atomic<int> mismatches_between_rounds{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < work.size(); ++i) {
          const std::size_t j = (i + static_cast<std::size_t>(t)) % work.size();
          const auto stream = compress(work[j].signal, work[j].options);
          if (!stream) continue;
          const auto samples = decompress(*stream);
          if (!samples) continue;
          Result& r = results[t][j];
          if (r.ok && (r.stream != *stream || r.samples != *samples)) ++mismatches_between_rounds;
          r = {*stream, *samples, true};
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches_between_rounds.load(), 0);

  for (std::size_t j = 0; j < work.size(); ++j) {
    const Bytes reference = compressed(work[j].signal, work[j].options);
    const auto samples = decompress(reference);
    ASSERT_TRUE(samples.has_value());
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_TRUE(results[t][j].ok) << "thread " << t << " job " << j;
      EXPECT_EQ(results[t][j].stream, reference) << "thread " << t << " job " << j;
      EXPECT_EQ(results[t][j].samples, *samples) << "thread " << t << " job " << j;
    }
  }
}

// One executor handle shared by every thread: forward and inverse transforms
// on it at once agree with a lone run.
TEST(Concurrency, SharedExecutorsAreReentrant) {
  for (const WaveletMethod method : kMethods) {
    const lumvet::DwtExecutorHandle executor = make_executor(method);
    const std::vector<float> x = random_walk(3001, 17);
    std::vector<std::vector<float>> outputs(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
          const auto levels = executor->multi_dwt(x, 5);
          if (!levels) return;
          lumvet::MultiDwtRef bands;
          for (const auto& level : levels->levels) bands.details.emplace_back(level.details);
          bands.approximation = levels->levels.back().approximation;
          const auto back = executor->multi_idwt(bands);
          if (!back) return;
          outputs[t] = *back;
        }
      });
    }
    for (auto& thread : threads) thread.join();

    const auto levels = executor->multi_dwt(x, 5);
    ASSERT_TRUE(levels.has_value());
    lumvet::MultiDwtRef bands;
    for (const auto& level : levels->levels) bands.details.emplace_back(level.details);
    bands.approximation = levels->levels.back().approximation;
    const auto reference = executor->multi_idwt(bands);
    ASSERT_TRUE(reference.has_value());
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(outputs[t], *reference) << name_of(method) << " thread " << t;
    }
  }
}

// A long-filter executor of the factory (Db7, 14 taps) shared by every thread
// gives every level of a lone run.
TEST(Concurrency, SharedLongFilterExecutorIsReentrant) {
  const lumvet::DwtExecutorHandle executor =
      lumvet::Lumvet::make_daubechies_f32(lumvet::DaubechiesFamily::Db7, lumvet::BorderMode::Wrap);
  const std::vector<float> x = random_walk(5000, 11);
  std::vector<lumvet::MultiDwt> results(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      auto decomposition = executor->multi_dwt(x, 4);
      if (decomposition) results[t] = std::move(*decomposition);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto expected = executor->multi_dwt(x, 4);
  ASSERT_TRUE(expected.has_value());
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(results[t].levels.size(), 4u) << "thread " << t;
    for (std::size_t level = 0; level < 4; ++level) {
      EXPECT_EQ(results[t].levels[level].details, expected->levels[level].details);
      EXPECT_EQ(results[t].levels[level].approximation, expected->levels[level].approximation);
    }
  }
}

}  // namespace
}  // namespace quarnel

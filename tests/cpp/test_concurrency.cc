// Every test that starts threads. Many threads compressing and decompressing
// at once give the bytes and samples one thread gives: the codec shares
// nothing mutable, the executors are immutable, and the once-initialised
// dispatch tolerates concurrent first use. The threads start together at a
// latch, so the first calls of the process race each other: the arena
// writer's slot in the first test, the SIMD dispatch and the rest of the
// codec in the second; they run first in this binary for that reason. Last,
// the rANS coder's two planes coded on two threads within one call give the
// bytes, results and errors of one thread.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <expected>
#include <latch>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec_test_util.h"
#include "heap_probe.h"
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

// Runs body(t) for t in 0..kThreads-1, each on its own thread; the threads
// start together at a latch, and all have ended when this returns.
template <typename Body>
void run_together(Body&& body) {
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      body(t);
    });
  }
  for (auto& thread : threads) thread.join();
}

// The signal back from a multi-level decomposition of `levels` levels.
std::expected<std::vector<float>, lumvet::LumvetError> decomposed_and_back(
    const lumvet::DwtExecutor& executor, const std::vector<float>& x, std::size_t levels) {
  const auto decomposition = executor.multi_dwt(x, levels);
  if (!decomposition) return std::unexpected(decomposition.error());
  lumvet::MultiDwtRef bands;
  for (const auto& level : decomposition->levels) bands.details.emplace_back(level.details);
  bands.approximation = decomposition->levels.back().approximation;
  return executor.multi_idwt(bands);
}

// The arena writer's write-once slot, asked for by every thread at once
// before anything else in the process has used it, hands out the one writer.
TEST(Concurrency, ArenaWriterSlotIsInstalledOnceUnderConcurrentFirstUse) {
  using lumvet::filter_padding::ArenaWriter1d;
  using Provider = lumvet::filter_padding::MakeArenaFactoryProvider<float>;
  std::vector<ArenaWriter1d> seen(kThreads);
  run_together([&](int t) { seen[t] = Provider::make_arena_writer_1d_executor(); });
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
  run_together([&](int t) {
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
    run_together([&](int t) {
      for (int round = 0; round < kRounds; ++round) {
        const auto back = decomposed_and_back(*executor, x, 5);
        if (!back) return;
        outputs[t] = *back;
      }
    });

    const auto reference = decomposed_and_back(*executor, x, 5);
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
  run_together([&](int t) {
    auto decomposition = executor->multi_dwt(x, 4);
    if (decomposition) results[t] = std::move(*decomposition);
  });
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

// ---------------------------------------------------------------------------------------
// The rANS coder's planes on two threads

// Coefficient bytes, int16 little-endian: small values with runs of zeros (many bytes per
// renormalisation word in the high plane), or every byte random (a word every few bits).
Bytes plane_data(std::size_t n, bool random, std::uint64_t seed) {
  Rng rng(seed);
  Bytes out(n);
  for (std::size_t i = 0; i < n; i += 2) {
    const std::uint64_t r = rng.next();
    const auto c =
        static_cast<std::uint16_t>(random           ? r
                                   : (r >> 62) == 0 ? 0
                                                    : static_cast<std::int64_t>(r % 61) - 30);
    out[i] = static_cast<std::uint8_t>(c);
    if (i + 1 < n) out[i + 1] = static_cast<std::uint8_t>(c >> 8);
  }
  return out;
}

// The codec with a thread count: the bytes and samples of one thread.
TEST(ConcurrentPlanes, CodecGivesTheStreamsAndSamplesOfOneThread) {
  const std::vector<float> x = random_walk(50000, 5);
  for (const WaveletMethod method : kMethods) {
    for (const CoderChoice coder : {CoderChoice::arans, CoderChoice::deflate}) {
      const CompressionOptions options{.coder = coder, .method = method};
      const Bytes stream = compressed(x, options);
      const auto threaded = compress(x, options, 2);
      ASSERT_TRUE(threaded.has_value());
      EXPECT_EQ(*threaded, stream) << name_of(method);
      EXPECT_EQ(decompress(stream, 2), decompress(stream)) << name_of(method);
    }
  }
}

// Around the threaded minimum of 8192 pairs, and over several of the worker's blocks of
// 32768 plane bytes (so its ring of four slots wraps), odd lengths too.
constexpr std::size_t kPlaneLengths[] = {16383, 16384, 16385, 65537, 400000, 400001};

TEST(ConcurrentPlanes, EncodeGivesTheBytesOfOneThread) {
  for (const bool random : {false, true}) {
    for (const std::size_t n : kPlaneLengths) {
      const Bytes input = plane_data(n, random, n);
      const Bytes body = encode_stream(input, 1);
      EXPECT_EQ(encode_stream(input), body) << n;
      for (const unsigned threads : {2u, 3u}) {
        EXPECT_EQ(encode_stream(input, threads), body) << n << " " << threads;
      }
      EXPECT_EQ(decode_stream(body, SIZE_MAX, 2), input) << n;
    }
  }
}

// Every keep, every cut and some damage in either plane: two threads return what one
// does, result or error.
TEST(ConcurrentPlanes, DecodeGivesTheResultsAndErrorsOfOneThread) {
  const auto agree = [](std::span<const std::uint8_t> body, std::size_t keep) {
    const auto one = decode_stream(body, keep, 1);
    ASSERT_EQ(decode_stream(body, keep, 2), one) << body.size() << " " << keep;
  };
  for (const std::size_t n : {std::size_t{40001}, std::size_t{400000}}) {
    const Bytes input = plane_data(n, false, 7 * n);
    const Bytes body = encode_stream(input);
    for (const std::size_t keep : {std::size_t{0}, std::size_t{1}, std::size_t{2}, n / 3, n / 2,
                                   n / 2 + 1, n - 1, n, SIZE_MAX}) {
      agree(body, keep);
    }
    Rng rng(n);
    for (int round = 0; round < 12; ++round) {
      Bytes damaged = body;
      const std::size_t at = 8 + rng.next() % (damaged.size() - 8);
      switch (round % 3) {
        case 0:  // cut short, in either plane
          damaged.resize(at);
          break;
        case 1:  // a flipped bit
          damaged[at] ^= static_cast<std::uint8_t>(1u << (rng.next() % 8));
          break;
        case 2:  // a zeroed stretch
          std::fill_n(damaged.begin() + at, std::min<std::size_t>(64, damaged.size() - at), 0);
          break;
      }
      agree(damaged, SIZE_MAX);
      agree(damaged, 2);
    }
    // The cut that leaves plane 1 one word short, and a claim of 2^28 pairs.
    agree(std::span(body).first(body.size() - 2 - (n & 1)), SIZE_MAX);
    std::size_t end_of_count = 2;
    ASSERT_TRUE(rv(body, end_of_count).has_value());
    Bytes claimed = body;
    claimed.erase(claimed.begin() + 2, claimed.begin() + static_cast<std::ptrdiff_t>(end_of_count));
    claimed.insert(claimed.begin() + 2, {0x80, 0x80, 0x80, 0x80, 0x01});
    agree(claimed, SIZE_MAX);
  }
}

// A failed allocation anywhere in a two-thread call, the worker's included, leaves the
// call as one thread's would: the encoder's std::bad_alloc reaches its caller, the
// decoder gives InconsistentLength, and nothing leaks.
TEST(ConcurrentPlanes, AllocationFailuresReachTheCaller) {
  const Bytes input = plane_data(40000, false, 3);
  const Bytes body = encode_stream(input);
  int failures = 0;
  for (std::size_t fail_at = 1;; ++fail_at) {
    bool threw = false;
    const auto encoding = alloc_hook::run(fail_at, [&] {
      try {
        EXPECT_EQ(encode_stream(input, 2), body) << fail_at;
      } catch (const std::bad_alloc&) {
        threw = true;
      }
    });
    EXPECT_EQ(threw, encoding.failed) << fail_at;
    EXPECT_EQ(encoding.live_blocks, 0) << fail_at;
    bool refused = false;
    const auto decoding = alloc_hook::run(fail_at, [&] {
      const auto out = decode_stream(body, SIZE_MAX, 2);
      refused = !out.has_value();
      if (out) {
        EXPECT_EQ(*out, input) << fail_at;
      } else {
        EXPECT_EQ(out.error(), AransError::InconsistentLength) << fail_at;
      }
    });
    EXPECT_EQ(refused, decoding.failed) << fail_at;
    EXPECT_EQ(decoding.live_blocks, 0) << fail_at;
    if (!encoding.failed && !decoding.failed) break;
    ++failures;
  }
  EXPECT_GT(failures, 4);
}

}  // namespace
}  // namespace quarnel

// The sample-count limit and exhausted memory.
//
// A span of 2^31 floats lies over an inaccessible, unbacked mapping: reading
// any sample faults, so a refusal proves that the length check came first.
// Memory limits run in a forked child under RLIMIT_AS: whatever the limit,
// compress and decompress either succeed or return an error or throw
// std::bad_alloc, and the child always exits normally. (Under
// AddressSanitizer the shadow memory takes up the address space, so those
// tests are not built there; under user-mode emulation the limit does not
// bind and they skip.)

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "codec_test_util.h"
#include "quarnel/header.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUARNEL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARNEL_UNDER_ASAN 1
#endif
#endif

namespace quarnel {
namespace {

using namespace quarnel::testing;

constexpr std::size_t kLimit = 2147483647;

// An inaccessible, unbacked region of `count` floats.
class Untouchable {
 public:
  explicit Untouchable(std::size_t count) : bytes_(count * sizeof(float)) {
    memory_ = mmap(nullptr, bytes_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  }
  ~Untouchable() {
    if (memory_ != MAP_FAILED) munmap(memory_, bytes_);
  }
  bool ok() const { return memory_ != MAP_FAILED; }
  std::span<const float> samples(std::size_t count) const {
    return {static_cast<const float*>(memory_), count};
  }

 private:
  std::size_t bytes_;
  void* memory_;
};

// Address space of the calling process: what it has now plus `extra` bytes.
[[maybe_unused]] bool limit_address_space(std::size_t extra) {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  long size = 0;
  if (statm == nullptr) return false;
  const bool read = std::fscanf(statm, "%ld", &size) == 1;
  std::fclose(statm);
  if (!read) return false;
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0) return false;
  limit.rlim_cur = static_cast<rlim_t>(size) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + extra;
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

// How a child process ended: its exit code, or -signal.
int run_in_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

TEST(SampleLimit, BeyondTheLimitIsRefusedWithoutReadingASample) {
  const Untouchable region(kLimit + 2);
  ASSERT_TRUE(region.ok());
  for (const std::size_t n : {kLimit + 1, kLimit + 2}) {
    const auto stream = compress(region.samples(n), CompressionOptions{});
    ASSERT_FALSE(stream.has_value());
    EXPECT_EQ(stream.error().message(),
              "Unsupported compression configuration 'Can't compress data bigger than "
              "2147483647, but data was " +
                  std::to_string(n) + "'");
  }
}

// A rANS body holds at most 2^28 coefficient pairs: longer signals are
// refused before a sample is read, for every method (the convolution ones
// need more coefficients than samples, so they refuse from fewer).
TEST(SampleLimit, RansRefusesMoreCoefficientsThanItsBodyDescribes) {
  constexpr std::size_t kPairs = std::size_t{1} << 28;
  const Untouchable region(kPairs + 1);
  ASSERT_TRUE(region.ok());
  for (const WaveletMethod method :
       {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4, WaveletMethod::sym4}) {
    for (const CoderChoice coder : {CoderChoice::arans, CoderChoice::auto_}) {
      const auto stream = compress(region.samples(kPairs + 1),
                                   CompressionOptions{.coder = coder, .method = method});
      ASSERT_FALSE(stream.has_value());
      EXPECT_EQ(stream.error().kind(), QuarnelErrorKind::UnsupportedConfiguration);
      EXPECT_NE(stream.error().message().find("use the deflate coder"), std::string::npos)
          << stream.error().message();
    }
  }
}

// The largest accepted length passes the check and goes on to read the
// samples: in a child, over the same mapping, that read faults. (Off by one
// in the check would refuse it instead.)
TEST(SampleLimit, TheLimitItselfIsAccepted) {
  const Untouchable region(kLimit);
  ASSERT_TRUE(region.ok());
  const int outcome = run_in_child([&] {
    signal(SIGSEGV, SIG_DFL);  // no sanitizer report: just the fault
    signal(SIGBUS, SIG_DFL);
    try {
      // rANS bodies stop at 2^28 coefficients; DEFLATE takes every length.
      const auto stream =
          compress(region.samples(kLimit), CompressionOptions{.coder = CoderChoice::deflate});
      return stream.has_value() ? 1 : 2;
    } catch (const std::bad_alloc&) {
      return 3;
    }
  });
  EXPECT_TRUE(outcome == -SIGSEGV || outcome == -SIGBUS) << "child ended with " << outcome;
}

// A header claiming the most samples a stream can hold, in front of a tiny
// payload: refused for what the payload lacks, without reserving memory for
// what the header claims. In a child with only a little address space to
// spare, so a large allocation would show as an out-of-memory failure.
TEST(SampleLimit, HugeClaimWithTinyPayloadIsRefusedCheaply) {
  const std::vector<float> x = triangle_steps(100);
  for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
    for (const WaveletMethod method : kMethods) {
      Bytes stream = compressed(x, {.coder = coder, .method = method});
      for (int i = 0; i < 4; ++i) stream[16 + i] = static_cast<std::uint8_t>(kLimit >> (8 * i));
      stream[12] = 8;  // levels
      const std::string where =
          std::string(name_of(method)) + " coder " + std::to_string(static_cast<int>(coder));
      const auto check = [&] {
        const auto result = decompress(stream);
        if (result.has_value()) return 1;
        const std::string message = result.error().message();
        return message.starts_with("Can't decompress data, reason: Payload holds ") &&
                       message.find("but the bands need") != std::string::npos
                   ? 0
                   : 2;
      };
      EXPECT_EQ(check(), 0) << where;
#ifndef QUARNEL_UNDER_ASAN
      // Room for the 100-sample work, nowhere near 2^31 samples.
      EXPECT_EQ(run_in_child([&] { return limit_address_space(64u << 20) ? check() : 9; }), 0)
          << where;
#endif
    }
  }
}

// rANS bodies that claim the largest pair count the coder accepts fail as
// truncated after touching little memory.
TEST(SampleLimit, HugePairCountWithTinyBodyIsTruncated) {
  // flags, 8 context bits, pair count 2^28 (LEB128), plane 0 of 4 bytes.
  const Bytes body = {0, 8, 0x80, 0x80, 0x80, 0x80, 0x01, 4, 0, 0, 1, 0, 0, 0, 1, 0};
  const auto decoded = decode_stream(body);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error(), AransError::Truncated);
}

#ifndef QUARNEL_UNDER_ASAN

// Child exit codes.
enum Outcome { kSucceeded = 0, kError = 1, kBadAlloc = 2, kSetupFailed = 3, kWrong = 4 };

// Whatever the limit, every run ends normally; the smallest limits make both
// directions fail, the largest let them succeed. Failures land at different
// stages (working copy, transform, coefficients, coder, inflate, bands).
TEST(MemoryLimit, CompressAndDecompressFailCleanly) {
  // Under user-mode emulation the guest's memory lies in space the emulator
  // reserved up front, so an address-space limit binds nothing there.
  const int binds = run_in_child([] {
    if (!limit_address_space(16u << 20)) return 2;
    void* block = std::malloc(64u << 20);
    std::free(block);
    return block == nullptr ? 0 : 1;
  });
  if (binds == 1) GTEST_SKIP() << "an address-space limit does not bind on this machine";
  ASSERT_EQ(binds, 0);

  const std::vector<float> x = random_walk(1 << 21, 3);  // 8 MiB of samples
  std::vector<std::pair<CompressionOptions, Bytes>> streams;
  for (const CoderChoice coder : {CoderChoice::deflate, CoderChoice::arans}) {
    const CompressionOptions options{.coder = coder, .scale = 9};
    streams.emplace_back(options, compressed(x, options));
  }
  for (const auto& [options, stream] : streams) {
    int failures = 0, successes = 0;
    for (const std::size_t mib : {1, 4, 8, 12, 16, 24, 32, 48, 64, 96, 160, 1024}) {
      const std::string where = "coder " + std::to_string(static_cast<int>(options.coder)) + ", " +
                                std::to_string(mib) + " MiB";
      const int compressing = run_in_child([&]() -> int {
        if (!limit_address_space(mib << 20)) return kSetupFailed;
        try {
          const auto result = compress(x, options);
          if (!result) return kError;
          return *result == stream ? kSucceeded : kWrong;
        } catch (const std::bad_alloc&) {
          return kBadAlloc;
        }
      });
      const int decompressing = run_in_child([&]() -> int {
        if (!limit_address_space(mib << 20)) return kSetupFailed;
        try {
          const auto result = decompress(stream);
          if (!result) return kError;
          return result->size() == x.size() ? kSucceeded : kWrong;
        } catch (const std::bad_alloc&) {
          return kBadAlloc;
        }
      });
      for (const int outcome : {compressing, decompressing}) {
        EXPECT_TRUE(outcome == kSucceeded || outcome == kError || outcome == kBadAlloc)
            << where << ": child ended with " << outcome;
        failures += outcome == kError || outcome == kBadAlloc;
        successes += outcome == kSucceeded;
      }
    }
    EXPECT_GT(failures, 0) << "no limit was tight enough";
    EXPECT_GT(successes, 0) << "no limit was loose enough";
  }
}

#endif  // QUARNEL_UNDER_ASAN

}  // namespace
}  // namespace quarnel

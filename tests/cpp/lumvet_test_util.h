// Helpers shared by the wavelet library tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <ostream>
#include <random>
#include <span>
#include <vector>

#include "hwy/targets.h"
#include "lumvet/err.h"
#include "lumvet/lumvet.h"

namespace lumvet {

inline void PrintTo(const LumvetError& e, std::ostream* os) {
  *os << e.message();
}

namespace testing_util {

// Runs `body` once per vector target compiled in and supported by this CPU,
// with dispatch pinned to that target.
template <class Body>
void for_each_target(Body body) {
  for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(hwy::TargetName(target));
    body();
  }
  hwy::SetSupportedTargetsForTest(0);
}

// Index of the first sample whose bits differ, or -1.
inline long first_bit_difference(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

// n samples uniform in [-100, 100).
inline std::vector<float> random_signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

// A SampleSource over a buffer that fails the test unless every sample is
// asked for once, in order.
// With `live` set the samples are read from there instead, memory the step
// may be writing, and must still hold the values of `x`.
struct OrderedSource {
  const std::vector<float>& x;
  const float* live = nullptr;
  std::size_t next = 0;

  static void fill(void* context, std::size_t from, std::size_t count, float* out) {
    auto& self = *static_cast<OrderedSource*>(context);
    ASSERT_EQ(from, self.next);
    ASSERT_LE(from + count, self.x.size());
    const float* read = self.live != nullptr ? self.live : self.x.data();
    for (std::size_t i = from; i < from + count; ++i) {
      ASSERT_EQ(read[i], self.x[i]) << "sample " << i << " was overwritten before it was read";
      out[i - from] = read[i];
    }
    self.next = from + count;
  }
  SampleSource source() { return {&OrderedSource::fill, this}; }
};

// A SampleSink that collects what it is handed and fails the test unless
// every sample comes once, in order.
struct OrderedSink {
  std::vector<float> y;

  static void take(void* context, std::size_t from, std::size_t count, const float* samples) {
    auto& self = *static_cast<OrderedSink*>(context);
    ASSERT_EQ(from, self.y.size());
    self.y.insert(self.y.end(), samples, samples + count);
  }
  SampleSink sink() { return {&OrderedSink::take, this}; }
};

// The multi_idwt input that undoes `m`.
inline MultiDwtRef view_of(const MultiDwt& m) {
  MultiDwtRef ref;
  for (const Dwt& level : m.levels) ref.details.emplace_back(level.details);
  ref.approximation = m.levels.back().approximation;
  return ref;
}

}  // namespace testing_util
}  // namespace lumvet

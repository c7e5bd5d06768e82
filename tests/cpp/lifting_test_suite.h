// Tests every lifting executor shares: each vector target against the file's
// scalar reference, sizes and levels worked by hand, the level driver over it,
// round trips, the check order of the one-level steps and allocation
// failures. A lifting test file builds its reference from the blocks below and
// instantiates the suites with it and its worked values.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lumvet/lumvet.h"

namespace lumvet::testing_util {

using Samples = std::vector<float>;

// Building blocks of the scalar references, one sample at a time, with the
// whole-sample symmetric extension of both lifting wavelets.

// Even samples of x into s, odd ones into d.
inline std::pair<Samples, Samples> split_even_odd(const Samples& x) {
  Samples s(x.size() - x.size() / 2), d(x.size() / 2);
  for (std::size_t i = 0; i < x.size(); ++i) (i % 2 == 0 ? s : d)[i / 2] = x[i];
  return {s, d};
}

// A predict step: d[i] = fma(s[i] + s[i + 1], c, d[i]), mirroring
// s[na] = s[na - 1].
inline void predict_odd(Samples& d, const Samples& s, float c) {
  for (std::size_t i = 0; i < d.size(); ++i) {
    const float right = i + 1 < s.size() ? s[i + 1] : s[i];
    d[i] = std::fma(s[i] + right, c, d[i]);
  }
}

// s and d interleaved, even samples first.
inline Samples merge_even_odd(const Samples& s, const Samples& d) {
  Samples y(s.size() + d.size());
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = i % 2 == 0 ? s[i / 2] : d[i / 2];
  return y;
}

struct LiftingCase {
  std::string name;
  DwtExecutorHandle (*make)();
  // One forward and one inverse level, one sample at a time from the formulas.
  std::function<std::pair<Samples, Samples>(const Samples&)> forward;
  std::function<Samples(const Samples&, const Samples&)> inverse;
  // Shortest signal one level accepts.
  std::size_t minimum_length;
  // Seed of the random long lengths checked against the reference.
  unsigned length_seed;
  // Sizes worked by hand: the filter length, the bands dwt_size gives for a
  // few lengths, and idwt_size of a few band pairs (a, d, output).
  std::size_t filter_length;
  std::vector<std::pair<std::size_t, DwtSize>> band_lengths;
  std::vector<std::tuple<std::size_t, std::size_t, std::size_t>> output_lengths;
};

inline void PrintTo(const LiftingCase& c, std::ostream* os) {
  *os << c.name;
}

class LiftingTransform : public ::testing::TestWithParam<LiftingCase> {};

// (input or output length, approximation length, details length, error)
using StepErrorCase = std::tuple<std::size_t, std::size_t, std::size_t, LumvetError>;

// (executor, case): the step must fail with the error and write nothing.
using StepCheck = std::tuple<DwtExecutorHandle (*)(), StepErrorCase>;

// A level worked by hand: the forward step must give the bands bit for bit,
// the inverse the input again within `inverse_tolerance` (0: exactly).
struct WorkedLevel {
  Samples input, approximation, details;
  float inverse_tolerance = 0.0f;
};

// (executor, level)
using WorkedCheck = std::tuple<DwtExecutorHandle (*)(), WorkedLevel>;

class LiftingWorked : public ::testing::TestWithParam<WorkedCheck> {};

class LiftingForwardChecks : public ::testing::TestWithParam<StepCheck> {};
class LiftingInverseChecks : public ::testing::TestWithParam<StepCheck> {};

}  // namespace lumvet::testing_util

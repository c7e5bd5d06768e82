// Tests every lifting executor shares: each vector target against the file's
// scalar reference, the level driver over it, round trips, the check order of
// the one-level steps and allocation failures. A lifting test file defines its
// reference and instantiates the suites below with it.
#pragma once

#include <gtest/gtest.h>

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
};

inline void PrintTo(const LiftingCase& c, std::ostream* os) {
  *os << c.name;
}

class LiftingTransform : public ::testing::TestWithParam<LiftingCase> {};

// (input or output length, approximation length, details length, error)
using StepErrorCase = std::tuple<std::size_t, std::size_t, std::size_t, LumvetError>;

// (executor, case): the step must fail with the error and write nothing.
using StepCheck = std::tuple<DwtExecutorHandle (*)(), StepErrorCase>;

class LiftingForwardChecks : public ::testing::TestWithParam<StepCheck> {};
class LiftingInverseChecks : public ::testing::TestWithParam<StepCheck> {};

}  // namespace lumvet::testing_util

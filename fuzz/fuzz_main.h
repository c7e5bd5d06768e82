// The body every fuzz target shares: run the check, and stop the fuzzer with
// the check's description when the input misbehaved.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_checks.h"

namespace quarnel::fuzz {

inline int run(Check check, const std::uint8_t* data, std::size_t size) {
  const std::string problem = check({data, size});
  if (!problem.empty()) {
    std::fprintf(stderr, "check failed: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}

}  // namespace quarnel::fuzz

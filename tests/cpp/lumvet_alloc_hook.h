// Test hook over the global operator new: fail one chosen allocation and count
// what a call allocates and releases, so every allocation failure path of an
// operation can be driven and checked for leaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace alloc_hook {

struct Outcome {
  std::size_t allocations = 0;     // allocations attempted while armed
  std::uint64_t failed_bytes = 0;  // size asked for by the failed one
  bool failed = false;             // whether the chosen allocation was reached
  std::int64_t live_blocks = 0;    // allocations minus releases while armed
};

// Runs `body` with the `fail_at`-th allocation (1-based; 0 = none) throwing
// std::bad_alloc. Everything `body` keeps must be released before it returns.
Outcome run(std::size_t fail_at, const std::function<void()>& body);

}  // namespace alloc_hook

// One probe over the global operator new/delete, for the test and benchmark
// binaries that link heap_probe_dep: it replaces those operators, and while a
// body runs it counts what the body allocates and releases, keeps the peak of
// its live bytes, and can make chosen allocations throw std::bad_alloc, so
// every allocation failure path of an operation can be driven and checked
// for leaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>

namespace alloc_hook {

struct Outcome {
  std::size_t allocations = 0;      // allocations attempted while the body ran
  std::uint64_t failed_bytes = 0;   // size asked for by the failed one
  bool failed = false;              // whether an allocation was made to fail
  std::int64_t live_blocks = 0;     // allocations minus releases while the body ran
  std::size_t peak_bytes = 0;       // peak of live bytes (as malloc_usable_size counts them)
  std::size_t largest_request = 0;  // largest size asked for
};

// Runs `body` with the `fail_at`-th allocation (1-based; 0 = none) and every
// request of more than `fail_above` bytes throwing std::bad_alloc. Releases
// of blocks allocated before the body count against its live bytes and
// blocks. Not reentrant: one body at a time.
Outcome run(std::size_t fail_at, const std::function<void()>& body,
            std::size_t fail_above = std::numeric_limits<std::size_t>::max());

}  // namespace alloc_hook

namespace peak_heap {

// Peak of live heap bytes while `body` runs, counted from zero at its start.
inline std::size_t during(const std::function<void()>& body) {
  return alloc_hook::run(0, body).peak_bytes;
}

}  // namespace peak_heap

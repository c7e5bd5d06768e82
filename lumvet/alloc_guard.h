// Allocation guard: turns an allocation failure into CannotAllocate with the
// size of the request that failed.
//
// The level drivers run their allocating statements inside one guarded body
// and record, before each statement, how many bytes it is about to ask for; a
// std::bad_alloc (or a length beyond what a vector can hold) is then reported
// with that byte count. Their buffers are RAII vectors, so an error path leaks
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "lumvet/err.h"

namespace lumvet {

// Bytes taken by `count` elements of `bytes_each`, saturating at 2^64 - 1 for
// counts no allocation could ever satisfy.
constexpr std::uint64_t byte_size(std::size_t count, std::size_t bytes_each = sizeof(float)) {
  if (bytes_each != 0 && count > std::numeric_limits<std::uint64_t>::max() / bytes_each) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return static_cast<std::uint64_t>(count) * bytes_each;
}

// Runs `body` (which returns std::expected<T, LumvetError>) and turns an
// allocation failure inside it into CannotAllocate with the byte count that
// `body` stored in `pending_bytes` just before the failing allocation.
template <class Body>
auto guard_allocation(std::uint64_t& pending_bytes, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return lumvet_error(LumvetErrorKind::CannotAllocate, pending_bytes);
  } catch (const std::length_error&) {
    // std::vector refuses lengths above max_size() with length_error.
    return lumvet_error(LumvetErrorKind::CannotAllocate, pending_bytes);
  }
}

}  // namespace lumvet

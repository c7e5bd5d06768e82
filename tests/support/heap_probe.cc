#include "heap_probe.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace alloc_hook {
namespace {

// Atomics throughout: the bodies of the benchmarks and of some tests start
// threads.
std::atomic<bool> active{false};
std::size_t fail_at_index = 0;
std::size_t fail_above_size = 0;
std::atomic<std::size_t> attempts{0};
std::atomic<std::uint64_t> failed_size{0};
std::atomic<bool> reached{false};
std::atomic<std::int64_t> live_blocks{0};
std::atomic<std::int64_t> live_bytes{0};
std::atomic<std::int64_t> peak_bytes{0};
std::atomic<std::size_t> largest{0};

template <class T>
void raise_to(std::atomic<T>& slot, T value) {
  T seen = slot.load();
  while (value > seen && !slot.compare_exchange_weak(seen, value)) {
  }
}

void* allocate(std::size_t size) {
  const bool watching = active.load(std::memory_order_relaxed);
  if (watching) {
    const std::size_t attempt = attempts.fetch_add(1) + 1;
    raise_to(largest, size);
    if (attempt == fail_at_index || size > fail_above_size) {
      failed_size = size;
      reached = true;
      throw std::bad_alloc();
    }
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (watching) {
    ++live_blocks;
    const auto bytes = static_cast<std::int64_t>(malloc_usable_size(p));
    raise_to(peak_bytes, live_bytes.fetch_add(bytes) + bytes);
  }
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  if (active.load(std::memory_order_relaxed)) {
    --live_blocks;
    live_bytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  }
  std::free(p);
}

}  // namespace

Outcome run(std::size_t fail_at, const std::function<void()>& body, std::size_t fail_above) {
  fail_at_index = fail_at;
  fail_above_size = fail_above;
  attempts = 0;
  failed_size = 0;
  reached = false;
  live_blocks = 0;
  live_bytes = 0;
  peak_bytes = 0;
  largest = 0;
  struct Disarm {
    ~Disarm() { active = false; }
  } disarm;  // also when the body throws
  active = true;
  body();
  active = false;
  return Outcome{attempts, failed_size, reached, live_blocks,
                 static_cast<std::size_t>(peak_bytes.load()), largest};
}

}  // namespace alloc_hook

void* operator new(std::size_t size) {
  return alloc_hook::allocate(size);
}
void* operator new[](std::size_t size) {
  return alloc_hook::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return alloc_hook::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept {
  alloc_hook::release(p);
}
void operator delete[](void* p) noexcept {
  alloc_hook::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  alloc_hook::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  alloc_hook::release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  alloc_hook::release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  alloc_hook::release(p);
}

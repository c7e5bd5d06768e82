#include "peak_heap.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace peak_heap {
namespace {

std::atomic<bool> watching{false};
std::atomic<std::size_t> live{0};
std::atomic<std::size_t> peak{0};

void* allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (watching.load(std::memory_order_relaxed)) {
    const std::size_t now = live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    std::size_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
  return p;
}

void release(void* p) {
  if (p == nullptr) return;
  if (watching.load(std::memory_order_relaxed)) {
    const std::size_t size = malloc_usable_size(p);
    // Blocks allocated before watching started are not in the count.
    std::size_t now = live.load();
    while (!live.compare_exchange_weak(now, now >= size ? now - size : 0)) {
    }
  }
  std::free(p);
}

}  // namespace

std::size_t during(const std::function<void()>& body) {
  live = 0;
  peak = 0;
  watching = true;
  body();
  watching = false;
  return peak.load();
}

}  // namespace peak_heap

void* operator new(std::size_t size) {
  return peak_heap::allocate(size);
}
void* operator new[](std::size_t size) {
  return peak_heap::allocate(size);
}
void operator delete(void* p) noexcept {
  peak_heap::release(p);
}
void operator delete[](void* p) noexcept {
  peak_heap::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  peak_heap::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  peak_heap::release(p);
}

#include "lumvet_alloc_hook.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace alloc_hook {
namespace {

std::atomic<bool> armed{false};
std::size_t fail_at_index = 0;
std::size_t attempts = 0;
std::uint64_t failed_size = 0;
bool reached = false;
std::int64_t live = 0;

void* allocate(std::size_t size) {
  if (armed.load(std::memory_order_relaxed)) {
    ++attempts;
    if (attempts == fail_at_index) {
      failed_size = size;
      reached = true;
      throw std::bad_alloc();
    }
    ++live;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void release(void* p) {
  if (p == nullptr) return;
  if (armed.load(std::memory_order_relaxed)) --live;
  std::free(p);
}

}  // namespace

Outcome run(std::size_t fail_at, const std::function<void()>& body) {
  fail_at_index = fail_at;
  attempts = 0;
  failed_size = 0;
  reached = false;
  live = 0;
  armed.store(true);
  body();
  armed.store(false);
  return Outcome{attempts, failed_size, reached, live};
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

#include "support/failing_allocator.hpp"

#include <cstdlib>
#include <new>

namespace {

struct state {
  bool armed = false;
  std::uint64_t fail_at = 0;
  std::uint64_t seen = 0;
  quelt::test::allocation_stats stats;
};

state& allocator_state() {
  static state instance;
  return instance;
}

void* allocate(std::size_t size, bool array) {
  state& s = allocator_state();
  if (s.armed) {
    ++s.seen;
    if (s.seen == s.fail_at) {
      s.stats.failed = true;
      throw std::bad_alloc();
    }
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  if (s.armed) {
    ++s.stats.allocations;
    ++s.stats.live;
    if (array) {
      s.stats.last_array_size = size;
    }
  }
  return p;
}

void release(void* p) {
  if (p == nullptr) {
    return;
  }
  state& s = allocator_state();
  if (s.armed) {
    --s.stats.live;
  }
  std::free(p);
}

}  // namespace

namespace quelt::test {

void arm_allocator(std::uint64_t fail_at) {
  state& s = allocator_state();
  s.stats = allocation_stats{};
  s.fail_at = fail_at;
  s.seen = 0;
  s.armed = true;
}

allocation_stats disarm_allocator() {
  state& s = allocator_state();
  s.armed = false;
  return s.stats;
}

}  // namespace quelt::test

void* operator new(std::size_t size) {
  return allocate(size, false);
}
void* operator new[](std::size_t size) {
  return allocate(size, true);
}
void operator delete(void* p) noexcept {
  release(p);
}
void operator delete[](void* p) noexcept {
  release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  release(p);
}

// std::stable_sort and friends take their scratch buffers from the nothrow
// forms; route them through the same counter so they can be refused too and
// are never paired with another allocator's delete.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size, false);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size, true);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  release(p);
}

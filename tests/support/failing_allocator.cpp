#include "support/failing_allocator.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
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

// Every block carries its size in a header in front of it, so releases can be
// counted in bytes too.
constexpr std::size_t header = alignof(std::max_align_t);

void* allocate(std::size_t size, bool array) {
  state& s = allocator_state();
  if (s.armed) {
    ++s.seen;
    if (s.seen == s.fail_at) {
      s.stats.failed = true;
      throw std::bad_alloc();
    }
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + header));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  std::memcpy(block, &size, sizeof size);
  if (s.armed) {
    ++s.stats.allocations;
    ++s.stats.live;
    s.stats.live_bytes += static_cast<std::int64_t>(size);
    if (s.stats.live_bytes > s.stats.peak_bytes) {
      s.stats.peak_bytes = s.stats.live_bytes;
    }
    if (array) {
      s.stats.last_array_size = size;
    }
  }
  return block + header;
}

void release(void* p) {
  if (p == nullptr) {
    return;
  }
  auto* block = static_cast<unsigned char*>(p) - header;
  std::size_t size;
  std::memcpy(&size, block, sizeof size);
  state& s = allocator_state();
  if (s.armed) {
    --s.stats.live;
    s.stats.live_bytes -= static_cast<std::int64_t>(size);  // below 0 for older blocks
  }
  std::free(block);
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

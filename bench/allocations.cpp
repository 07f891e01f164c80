#include "allocations.hpp"

#include <cstdlib>
#include <new>

namespace quelt_bench {

namespace {

// The benchmarks run on one thread; counting is off outside a measurement.
bool counting = false;
std::uint64_t count = 0;
std::int64_t held = 0;
std::int64_t peak = 0;

// Each block carries its size in front, so a delete knows what it returns.
constexpr std::size_t header = alignof(std::max_align_t);

void* take(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + header));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  *reinterpret_cast<std::size_t*>(block) = size;
  if (counting) {
    ++count;
    held += static_cast<std::int64_t>(size);
    peak = held > peak ? held : peak;
  }
  return block + header;
}

void give(void* pointer) {
  if (pointer == nullptr) {
    return;
  }
  auto* block = static_cast<unsigned char*>(pointer) - header;
  if (counting) {
    held -= static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block));
  }
  std::free(block);
}

}  // namespace

void start_counting() {
  count = 0;
  held = 0;
  peak = 0;
  counting = true;
}

allocation_profile stop_counting() {
  counting = false;
  return allocation_profile{count, static_cast<std::uint64_t>(peak)};
}

}  // namespace quelt_bench

void* operator new(std::size_t size) {
  return quelt_bench::take(size);
}
void* operator new[](std::size_t size) {
  return quelt_bench::take(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return quelt_bench::take(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return quelt_bench::take(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* pointer) noexcept {
  quelt_bench::give(pointer);
}
void operator delete[](void* pointer) noexcept {
  quelt_bench::give(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  quelt_bench::give(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
  quelt_bench::give(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  quelt_bench::give(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  quelt_bench::give(pointer);
}

// Replaces the global operator new/delete of the test binary that links
// failing_allocator.cpp, so a test can make the Nth allocation throw
// std::bad_alloc and count what is still live. Single-threaded use only.
#ifndef QUELT_TESTS_SUPPORT_FAILING_ALLOCATOR_HPP
#define QUELT_TESTS_SUPPORT_FAILING_ALLOCATOR_HPP

#include <cstddef>
#include <cstdint>

namespace quelt::test {

struct allocation_stats {
  std::uint64_t allocations = 0;    // successful allocations since arm()
  std::int64_t live = 0;            // allocations minus releases since arm()
  std::size_t last_array_size = 0;  // bytes asked of the last new[]
  std::int64_t live_bytes = 0;      // bytes allocated minus bytes released since arm()
  std::int64_t peak_bytes = 0;      // the largest live_bytes reached since arm()
  bool failed = false;              // the chosen allocation was refused
};

// Starts counting; the allocation numbered `fail_at` (1-based) throws.
// fail_at 0 fails nothing.
void arm_allocator(std::uint64_t fail_at);
// Stops counting and failing; returns what happened since arm_allocator.
allocation_stats disarm_allocator();

}  // namespace quelt::test

#endif

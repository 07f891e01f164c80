// Bytes and allocations a call takes from the heap: the benchmark binary
// replaces the global operator new and delete (the library's own calls go
// through them too), counting only while a measurement is open.
#ifndef QUELT_BENCH_ALLOCATIONS_HPP
#define QUELT_BENCH_ALLOCATIONS_HPP

#include <cstddef>
#include <cstdint>

namespace quelt_bench {

struct allocation_profile {
  std::uint64_t count = 0;       // allocations made
  std::uint64_t peak_bytes = 0;  // most bytes held at once, beyond those held at the start
};

// Runs `call` once with counting on.
template <class Call>
allocation_profile measure_allocations(Call&& call);

void start_counting();
allocation_profile stop_counting();

template <class Call>
allocation_profile measure_allocations(Call&& call) {
  start_counting();
  call();
  return stop_counting();
}

}  // namespace quelt_bench

#endif

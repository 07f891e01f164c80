// A pass over one float of every row of a large tensor (the objectness), in
// which only a few rows pass: the cost of decoding is then the cost of this
// pass, so it is kept to loads and compares.
#ifndef QUELT_FRAMEWORK_SCREEN_HPP
#define QUELT_FRAMEWORK_SCREEN_HPP

#include <cstddef>
#include <cstdint>

namespace sorvanta::framework {

// Asks the cache for the floats [first, first + count) ahead of their use.
inline void prefetch_floats(const float* first, std::size_t count) {
#if defined(__GNUC__)
  const char* byte = reinterpret_cast<const char*>(first);
  const char* end = reinterpret_cast<const char*>(first + count);
  for (; byte < end; byte += 64) {
    __builtin_prefetch(byte, 1, 3);
  }
#else
  (void)first;
  (void)count;
#endif
}

// Calls visit(r) for every r < count, in increasing order, for which
// passes(keys[r * stride]) holds. Rows are tested four at a time so that the
// rare passing group is the only branch taken. The rest of a passing row
// (from its key to the next row) is fetched into the cache while the pass
// goes on, and rows are visited a block at a time, so that their memory
// latency overlaps the screening instead of stalling it.
template <class Passes, class Visit>
inline void screen_rows(const float* keys, std::uint64_t count, std::size_t stride, Passes&& passes,
                        Visit&& visit) {
  constexpr std::uint64_t block = 256;
  std::uint32_t hits[block + 4];
  for (std::uint64_t base = 0; base < count; base += block) {
    const std::uint64_t end = base + block < count ? base + block : count;
    const float* block_keys = keys + base * stride;
    std::size_t hit_count = 0;
    std::uint64_t r = 0;
    for (; base + r + 4 <= end; r += 4) {
      const float* key = block_keys + r * stride;
      // One branch for four rows: `|` of the four tests, not `||`.
      if ((static_cast<int>(passes(key[0])) | static_cast<int>(passes(key[stride])) |
           static_cast<int>(passes(key[2 * stride])) | static_cast<int>(passes(key[3 * stride]))) !=
          0) {
        for (std::uint64_t q = 0; q < 4; ++q) {
          if (passes(key[q * stride])) {
            hits[hit_count++] = static_cast<std::uint32_t>(r + q);
            prefetch_floats(key + q * stride, stride);
          }
        }
      }
    }
    for (; base + r < end; ++r) {
      if (passes(block_keys[r * stride])) {
        hits[hit_count++] = static_cast<std::uint32_t>(r);
        prefetch_floats(block_keys + r * stride, stride);
      }
    }
    for (std::size_t h = 0; h < hit_count; ++h) {
      visit(base + hits[h]);
    }
  }
}

}  // namespace sorvanta::framework

#endif

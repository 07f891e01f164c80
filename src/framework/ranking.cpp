#include "ranking.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sorvanta::framework {

namespace {

// Sorts the first n entries of `scratch` (key << 32 | index, indices
// distinct) ascending and writes their indices to `order`: ascending key,
// equal keys in index order. Below 256 entries a comparison sort; above, a
// stable least-significant-digit radix sort over the key's bits up to the
// highest one set (the index bits are already in order).
void order_entries(std::vector<std::uint64_t>& scratch, std::size_t n,
                   std::vector<std::uint32_t>& order) {
  std::uint64_t* entries = scratch.data();
  std::uint64_t* spare = scratch.data() + n;
  if (n <= 256) {
    std::sort(entries, entries + n);
  } else {
    // Every digit's counts in one pass: four counters move per entry, so
    // runs of equal digits do not wait on one counter's increments in turn.
    std::size_t counts[4][257] = {};
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const auto key = static_cast<std::uint32_t>(entries[i] >> 32);
      any |= key;
      for (int digit = 0; digit < 4; ++digit) {
        ++counts[digit][((key >> (8 * digit)) & 0xFF) + 1];
      }
    }
    for (int digit = 0; digit < 4 && (any >> (8 * digit)) != 0; ++digit) {
      const int shift = 32 + 8 * digit;
      std::size_t* count = counts[digit];
      if (count[((entries[0] >> shift) & 0xFF) + 1] == n) {
        continue;  // every entry has the same digit
      }
      for (int d = 0; d < 256; ++d) {
        count[d + 1] += count[d];
      }
      for (std::size_t i = 0; i < n; ++i) {
        spare[count[(entries[i] >> shift) & 0xFF]++] = entries[i];
      }
      std::swap(entries, spare);
    }
  }
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    order[i] = static_cast<std::uint32_t>(entries[i]);
  }
}

}  // namespace

void rank_descending(const std::vector<float>& keys, std::vector<std::uint32_t>& order,
                     std::vector<std::uint64_t>& scratch) {
  const std::size_t n = keys.size();
  // Each entry is (inverted sortable key << 32 | index): ascending order of
  // the entries is descending key order with ties by index.
  scratch.resize(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t sortable = 0;
    if (!std::isnan(keys[i])) {
      const float key = keys[i] + 0.0f;  // -0 becomes +0, its equal
      std::uint32_t bits;
      std::memcpy(&bits, &key, sizeof bits);
      // Order-preserving map of floats to unsigned integers, then inverted.
      sortable = ~((bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u);
    } else {
      sortable = 0xFFFFFFFFu;  // after every number
    }
    scratch[i] = (std::uint64_t{sortable} << 32) | i;
  }
  order_entries(scratch, n, order);
}

void order_ascending(const std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& order,
                     std::vector<std::uint64_t>& scratch) {
  const std::size_t n = keys.size();
  scratch.resize(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    scratch[i] = (std::uint64_t{keys[i]} << 32) | i;
  }
  order_entries(scratch, n, order);
}

void bucket_by_class(const std::vector<class_member>& members, std::size_t classes,
                     std::vector<std::uint32_t>& start, std::vector<class_member>& by_class) {
  start.assign(classes + 1, 0);
  for (const class_member& member : members) {
    ++start[member.class_index + 1];
  }
  for (std::size_t k = 0; k < classes; ++k) {
    start[k + 1] += start[k];
  }
  by_class.resize(members.size());
  // Each member goes to its class's next free slot; the slot counters are the
  // bucket starts shifted by one, which the loop leaves as the bucket ends.
  for (const class_member& member : members) {
    by_class[start[member.class_index]++] = member;
  }
  for (std::size_t k = classes; k > 0; --k) {
    start[k] = start[k - 1];
  }
  start[0] = 0;
}

}  // namespace sorvanta::framework

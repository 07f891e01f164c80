#include "ranking.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sorvanta::framework {

void rank_descending(const std::vector<float>& keys, std::vector<std::uint32_t>& order,
                     std::vector<std::uint64_t>& scratch) {
  const std::size_t n = keys.size();
  // Each entry is (inverted sortable key << 32 | index): ascending order of
  // the entries is descending key order with ties by index.
  scratch.resize(2 * n);
  std::uint64_t* entries = scratch.data();
  std::uint64_t* spare = scratch.data() + n;
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
    entries[i] = (std::uint64_t{sortable} << 32) | i;
  }
  if (n <= 256) {
    std::sort(entries, entries + n);
  } else {
    // Stable least-significant-digit radix sort on the 32 key bits; the index
    // bits are already in order.
    for (int shift = 32; shift < 64; shift += 8) {
      std::size_t counts[257] = {};
      for (std::size_t i = 0; i < n; ++i) {
        ++counts[((entries[i] >> shift) & 0xFF) + 1];
      }
      if (counts[((entries[0] >> shift) & 0xFF) + 1] == n) {
        continue;  // every entry has the same digit
      }
      for (int d = 0; d < 256; ++d) {
        counts[d + 1] += counts[d];
      }
      for (std::size_t i = 0; i < n; ++i) {
        spare[counts[(entries[i] >> shift) & 0xFF]++] = entries[i];
      }
      std::swap(entries, spare);
    }
  }
  order.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    order[i] = static_cast<std::uint32_t>(entries[i]);
  }
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

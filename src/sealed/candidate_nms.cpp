#include "candidate_nms.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quelt::detail {

ranked_candidate make_ranked_candidate(float* row) {
  const float hw = row[2] * 0.5f;
  const float hh = row[3] * 0.5f;
  ranked_candidate c{row, row[0] - hw, row[1] - hh, row[0] + hw, row[1] + hh, 0.0f};
  c.area = (c.x_max - c.x_min) * (c.y_max - c.y_min);
  return c;
}

void order_by_descending_key(const std::vector<float>& keys, std::vector<std::uint32_t>& order,
                             std::vector<std::uint64_t>& scratch) {
  const std::size_t n = keys.size();
  // Each entry is (inverted sortable key << 32 | index): ascending order of
  // the entries is descending key order with ties by index.
  scratch.resize(2 * n);
  std::uint64_t* entries = scratch.data();
  std::uint64_t* spare = scratch.data() + n;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t sortable = 0;  // NaN: after every number
    if (!std::isnan(keys[i])) {
      const float key = keys[i] + 0.0f;  // -0 becomes +0, its equal
      std::uint32_t bits;
      std::memcpy(&bits, &key, sizeof bits);
      // Order-preserving map of floats to unsigned integers, then inverted.
      sortable = ~((bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u);
    } else {
      sortable = 0xFFFFFFFFu;
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

namespace {

// Intersection over union with `better` as the first box, in the float
// arithmetic of the provider's measure.
float overlap(const ranked_candidate& better, const ranked_candidate& other) {
  const float ix_min = better.x_min > other.x_min ? better.x_min : other.x_min;
  const float ix_max = better.x_max < other.x_max ? better.x_max : other.x_max;
  const float iy_min = better.y_min > other.y_min ? better.y_min : other.y_min;
  const float iy_max = better.y_max < other.y_max ? better.y_max : other.y_max;
  if (ix_min >= ix_max || iy_min >= iy_max) {
    return 0.0f;
  }
  const float inter = (ix_max - ix_min) * (iy_max - iy_min);
  return inter / ((better.area + other.area) - inter);
}

}  // namespace

void suppress_ranked_candidates(int classes, float threshold, candidate_nms_workspace& ws) {
  if (classes <= 0) {
    return;
  }
  const auto class_count = static_cast<std::size_t>(classes);
  ws.class_start.assign(class_count + 1, 0);
  for (const class_holder& holder : ws.holders) {
    ++ws.class_start[holder.class_index + 1];
  }
  for (std::size_t k = 0; k < class_count; ++k) {
    ws.class_start[k + 1] += ws.class_start[k];
  }
  ws.by_class.resize(ws.holders.size());
  ws.kept.assign(ws.class_start.begin(), ws.class_start.end() - 1);  // fill cursors
  for (const class_holder& holder : ws.holders) {
    ws.by_class[ws.kept[holder.class_index]++] = holder.rank;
  }

  // An overlap above a threshold of 0 or more needs boxes that intersect, and
  // boxes that do not fail one of the four tests below.
  const bool skip_apart = threshold >= 0.0f;
  for (std::size_t k = 0; k < class_count; ++k) {
    const std::size_t score = 5 + k;
    ws.kept.clear();
    for (std::uint32_t i = ws.class_start[k]; i < ws.class_start[k + 1]; ++i) {
      const ranked_candidate& box = ws.candidates[ws.by_class[i]];
      bool suppressed = false;
      for (std::uint32_t rank : ws.kept) {
        const ranked_candidate& better = ws.candidates[rank];
        if (skip_apart && !(better.x_min < box.x_max && box.x_min < better.x_max &&
                            better.y_min < box.y_max && box.y_min < better.y_max)) {
          continue;
        }
        if (overlap(better, box) > threshold) {
          suppressed = true;
          break;
        }
      }
      if (suppressed) {
        box.row[score] = 0.0f;
      } else {
        ws.kept.push_back(ws.by_class[i]);
      }
    }
  }
}

}  // namespace quelt::detail

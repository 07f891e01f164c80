#include "row_nms_plan.hpp"

#include <algorithm>
#include <cstring>

namespace quelt::detail {

float row_overlap(const float* better, const float* other) {
  const float ix_min = other[0] > better[0] ? other[0] : better[0];
  const float ix_max = other[2] < better[2] ? other[2] : better[2];
  const float iy_min = other[1] > better[1] ? other[1] : better[1];
  const float iy_max = other[3] < better[3] ? other[3] : better[3];
  if (ix_min >= ix_max || iy_min >= iy_max) {
    return 0.0f;
  }
  const float inter = (iy_max - iy_min) * (ix_max - ix_min);
  const float area_better = (better[3] - better[1]) * (better[2] - better[0]);
  const float area_other = (other[3] - other[1]) * (other[2] - other[0]);
  return inter / ((area_other + area_better) - inter);
}

namespace {

// Descending by probabilities from class `from` down to class 0, then by row.
// Only ">" is used, so -0 and +0 compare equal as they do in the passes.
bool ranks_before(const row_view& rows, int from, std::uint32_t a, std::uint32_t b) {
  const float* row_a = rows.row(a) + 5;
  const float* row_b = rows.row(b) + 5;
  for (int c = from; c >= 0; --c) {
    if (row_a[c] > row_b[c]) {
      return true;
    }
    if (row_b[c] > row_a[c]) {
      return false;
    }
  }
  return a < b;
}

void bucket_by_class(const row_view& rows, row_nms_workspace& ws) {
  const auto classes = static_cast<std::size_t>(rows.classes);
  ws.class_start.assign(classes + 1, 0);
  for (std::uint32_t k : ws.held) {
    ++ws.class_start[k + 1];
  }
  for (std::size_t k = 0; k < classes; ++k) {
    ws.class_start[k + 1] += ws.class_start[k];
  }
  ws.by_class.resize(ws.held.size());
  // Fill from a running copy of the offsets, so each bucket is in row order.
  std::vector<std::uint32_t>& next = ws.order;  // reused as scratch before the final order
  next.assign(ws.class_start.begin(), ws.class_start.end() - 1);
  for (std::uint32_t r = 0; r < rows.count; ++r) {
    for (std::uint32_t h = ws.held_start[r]; h < ws.held_start[r + 1]; ++h) {
      ws.by_class[next[ws.held[h]]++] = class_member{ws.held[h], r};
    }
  }
}

// Greedy suppression of one class over its members in rank order: a member is
// suppressed exactly when some earlier member that was not suppressed overlaps
// it by at least the threshold.
void suppress_class(const row_view& rows, const class_member* begin, const class_member* end,
                    float threshold, row_nms_workspace& ws) {
  auto& kept = ws.kept;
  kept.clear();
  // With a positive threshold only boxes that intersect can reach it, and a
  // box that does not intersect fails one of these four tests.
  const bool positive = threshold > 0.0f;
  for (const class_member* member = begin; member != end; ++member) {
    const float* box = rows.row(member->row);
    bool suppressed = false;
    for (const kept_box& better : kept) {
      if (positive && !(better.x_min < box[2] && box[0] < better.x_max && better.y_min < box[3] &&
                        box[1] < better.y_max)) {
        continue;
      }
      if (row_overlap(rows.row(better.row), box) >= threshold) {
        suppressed = true;
        break;
      }
    }
    if (suppressed) {
      ws.suppressed.push_back(*member);
    } else {
      kept.push_back(kept_box{box[0], box[1], box[2], box[3], member->row});
    }
  }
}

}  // namespace

void plan_row_nms(const row_view& rows, float nms_threshold, bool all_rows, row_nms_workspace& ws) {
  ws.suppressed.clear();
  ws.top_class.resize(rows.count);
  for (std::uint32_t r = 0; r < rows.count; ++r) {
    // Held classes are in class order: the last is the highest.
    ws.top_class[r] = ws.held_start[r + 1] > ws.held_start[r]
                          ? static_cast<std::int32_t>(ws.held[ws.held_start[r + 1] - 1])
                          : -1;
  }

  bucket_by_class(rows, ws);
  for (int k = 0; k < rows.classes; ++k) {
    class_member* begin = ws.by_class.data() + ws.class_start[k];
    class_member* end = ws.by_class.data() + ws.class_start[k + 1];
    if (begin == end) {
      continue;
    }
    std::sort(begin, end, [&](const class_member& a, const class_member& b) {
      return ranks_before(rows, k, a.row, b.row);
    });
    suppress_class(rows, begin, end, nms_threshold, ws);
  }

  ws.order.clear();
  for (std::uint32_t r = 0; r < rows.count; ++r) {
    if (all_rows || ws.top_class[r] >= 0) {
      ws.order.push_back(r);
    }
  }
  // Classes above both rows' top class are zero in both, hence equal.
  std::sort(ws.order.begin(), ws.order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return ranks_before(rows, std::max(ws.top_class[a], ws.top_class[b]), a, b);
  });
}

}  // namespace quelt::detail

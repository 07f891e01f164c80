#include "row_nms_plan.hpp"

#include <algorithm>

namespace quelt::detail {

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

}  // namespace

void suppress_rows(const row_view& rows, const class_member* begin, const class_member* end,
                   float threshold, row_nms_workspace& ws) {
  ws.class_boxes.clear();
  for (const class_member* member = begin; member != end; ++member) {
    const float* box = rows.row(member->item);
    ws.class_boxes.push_back(sorvanta::framework::make_corner_box(box[0], box[1], box[2], box[3]));
  }
  ws.lost.clear();
  sorvanta::framework::suppress_greedy(ws.class_boxes.data(), ws.class_boxes.size(), threshold,
                                       sorvanta::framework::suppression_rule::at_least, ws.core,
                                       ws.lost);
  for (std::uint32_t position : ws.lost) {
    ws.suppressed.push_back(begin[position]);
  }
}

void plan_row_nms(const row_view& rows, float nms_threshold, bool all_rows, row_nms_workspace& ws) {
  ws.suppressed.clear();
  ws.top_class.resize(rows.count);
  for (std::uint32_t r = 0; r < rows.count; ++r) {
    // Held classes are in class order: the last is the highest.
    ws.top_class[r] = ws.held_start[r + 1] > ws.held_start[r]
                          ? static_cast<std::int32_t>(ws.held[ws.held_start[r + 1] - 1])
                          : -1;
  }

  ws.members.clear();
  for (std::uint32_t r = 0; r < rows.count; ++r) {
    for (std::uint32_t h = ws.held_start[r]; h < ws.held_start[r + 1]; ++h) {
      ws.members.push_back(class_member{ws.held[h], r});
    }
  }
  sorvanta::framework::bucket_by_class(ws.members, static_cast<std::size_t>(rows.classes),
                                       ws.class_start, ws.by_class);
  for (int k = 0; k < rows.classes; ++k) {
    class_member* begin = ws.by_class.data() + ws.class_start[k];
    class_member* end = ws.by_class.data() + ws.class_start[k + 1];
    if (end - begin < 2) {
      continue;  // a row alone keeps its class
    }
    std::sort(begin, end, [&](const class_member& a, const class_member& b) {
      return ranks_before(rows, k, a.item, b.item);
    });
    suppress_rows(rows, begin, end, nms_threshold, ws);
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

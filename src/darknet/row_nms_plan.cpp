#include "row_nms_plan.hpp"

#include <algorithm>

namespace quelt::detail {

namespace {

namespace fw = sorvanta::framework;

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
  const bool suppresses = fw::can_suppress(nms_threshold, fw::suppression_rule::at_least);
  for (std::uint32_t r = 0; r < rows.count && suppresses; ++r) {
    for (std::uint32_t h = ws.held_start[r]; h < ws.held_start[r + 1]; ++h) {
      ws.members.push_back(class_member{ws.held[h], r});
    }
  }
  fw::suppress_by_class(
      ws.members, static_cast<std::size_t>(rows.classes), nms_threshold,
      fw::suppression_rule::at_least, ws.nms,
      [&](const class_member& member) { return rows.box(member.item); },
      // Each class's rows in the order its pass would sort them.
      [&](std::size_t k, class_member* begin, class_member* end) {
        std::sort(begin, end, [&](const class_member& a, const class_member& b) {
          return ranks_before(rows, static_cast<int>(k), a.item, b.item);
        });
      },
      [&](const class_member& member) { ws.suppressed.push_back(member); });

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

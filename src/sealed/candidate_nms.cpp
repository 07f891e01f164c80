#include "candidate_nms.hpp"

namespace quelt::detail {

namespace fw = sorvanta::framework;
using fw::class_member;

void suppress_ranked_candidates(int classes, float threshold, candidate_nms_workspace& ws) {
  ws.boxes.clear();
  ws.boxes.reserve(ws.rows.size());
  for (const float* row : ws.rows) {
    ws.boxes.push_back(fw::centre_to_corners(row[0], row[1], row[2], row[3]));
  }
  if (classes <= 0) {
    return;
  }
  fw::suppress_by_class(
      ws.holders, static_cast<std::size_t>(classes), threshold, fw::suppression_rule::above, ws.nms,
      [&](const class_member& holder) { return ws.boxes[holder.item]; }, fw::keep_order{},
      [&](const class_member& holder) { ws.rows[holder.item][5 + holder.class_index] = 0.0f; });
}

}  // namespace quelt::detail

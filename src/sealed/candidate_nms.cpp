#include "candidate_nms.hpp"

namespace quelt::detail {

using sorvanta::framework::class_member;

void suppress_ranked_candidates(int classes, float threshold, candidate_nms_workspace& ws) {
  ws.boxes.clear();
  for (const float* row : ws.rows) {
    ws.boxes.push_back(sorvanta::framework::centre_to_corners(row[0], row[1], row[2], row[3]));
  }
  if (classes <= 0) {
    return;
  }
  const auto class_count = static_cast<std::size_t>(classes);
  sorvanta::framework::bucket_by_class(ws.holders, class_count, ws.class_start, ws.by_class);
  for (std::size_t k = 0; k < class_count; ++k) {
    const class_member* begin = ws.by_class.data() + ws.class_start[k];
    const class_member* end = ws.by_class.data() + ws.class_start[k + 1];
    if (end - begin < 2) {
      continue;  // one holder alone keeps its class
    }
    ws.class_boxes.clear();
    for (const class_member* holder = begin; holder != end; ++holder) {
      ws.class_boxes.push_back(ws.boxes[holder->item]);
    }
    ws.suppressed.clear();
    sorvanta::framework::suppress_greedy(ws.class_boxes.data(), ws.class_boxes.size(), threshold,
                                         sorvanta::framework::suppression_rule::above, ws.core,
                                         ws.suppressed);
    for (std::uint32_t position : ws.suppressed) {
      ws.rows[begin[position].item][5 + k] = 0.0f;
    }
  }
}

}  // namespace quelt::detail

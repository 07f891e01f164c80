#include "box_provider_nms.hpp"

#include <algorithm>
#include <cstddef>

namespace quelt {

namespace {

bool higher_objectness(const darknet_box_provider& p, const darknet_box_provider& q) {
  return p.row[4] > q.row[4];
}

}  // namespace

void darknet_box_nms_sort(std::vector<std::vector<darknet_box_provider>>& lists, int classes,
                          float* nms_thresholds) {
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const float threshold = nms_thresholds[i];
    if (classes <= 0) {
      continue;
    }
    auto& list = lists[i];
    const std::size_t n = list.size();
    for (int j = 0; j < classes; ++j) {
      // Stable, so candidates of equal objectness keep the order of the rows
      // and repeated calls give the same lists.
      std::stable_sort(list.begin(), list.end(), higher_objectness);
      const int score = 5 + j;
      for (std::size_t a = 0; a < n; ++a) {
        if (list[a].row[score] == 0.0f) {
          continue;
        }
        for (std::size_t b = a + 1; b < n; ++b) {
          if (list[b].row[score] == 0.0f) {
            continue;
          }
          // Strictly greater: an overlap equal to the threshold keeps the box.
          if (list[a].iou(list[b]) > static_cast<double>(threshold)) {
            list[b].row[score] = 0.0f;
          }
        }
      }
    }
  }
}

}  // namespace quelt

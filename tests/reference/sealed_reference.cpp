#include "reference/reference.hpp"

#include <algorithm>
#include <cstddef>

namespace quelt_reference {

namespace {

struct corners {
  float x_min, y_min, x_max, y_max;
};

corners corner_form(const box_provider& p) {
  const float hw = p.row[2] * 0.5f;
  const float hh = p.row[3] * 0.5f;
  return corners{p.row[0] - hw, p.row[1] - hh, p.row[0] + hw, p.row[1] + hh};
}

// Returns false for boxes that do not overlap; otherwise the intersection.
bool intersection(const corners& a, const corners& b, float& inter) {
  const float ix_min = a.x_min > b.x_min ? a.x_min : b.x_min;
  const float ix_max = a.x_max < b.x_max ? a.x_max : b.x_max;
  const float iy_min = a.y_min > b.y_min ? a.y_min : b.y_min;
  const float iy_max = a.y_max < b.y_max ? a.y_max : b.y_max;
  if (ix_min >= ix_max || iy_min >= iy_max) {
    return false;
  }
  inter = (ix_max - ix_min) * (iy_max - iy_min);
  return true;
}

float area(const corners& c) {
  return (c.x_max - c.x_min) * (c.y_max - c.y_min);
}

}  // namespace

double provider_iou(const box_provider& self, const box_provider& other) {
  const corners a = corner_form(self);
  const corners b = corner_form(other);
  float inter = 0.0f;
  if (!intersection(a, b, inter)) {
    return 0.0;
  }
  const float result = inter / ((area(a) + area(b)) - inter);
  return result;
}

double provider_iom(const box_provider& self, const box_provider& other) {
  const corners a = corner_form(self);
  const corners b = corner_form(other);
  float inter = 0.0f;
  if (!intersection(a, b, inter)) {
    return 0.0;
  }
  const float smaller = area(a) < area(b) ? area(a) : area(b);
  const float result = inter / smaller;
  return result;
}

void darknet_box_nms_sort(std::vector<std::vector<box_provider>>& lists, int classes,
                          float* nms_thresholds) {
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const float t = nms_thresholds[i];
    if (classes <= 0) {
      continue;
    }
    std::vector<box_provider>& list = lists[i];
    for (int j = 0; j < classes; ++j) {
      std::stable_sort(list.begin(), list.end(), [](const box_provider& p, const box_provider& q) {
        return p.row[4] > q.row[4];
      });
      for (std::size_t a = 0; a < list.size(); ++a) {
        if (list[a].row[5 + j] == 0.0f) {
          continue;
        }
        for (std::size_t b = a + 1; b < list.size(); ++b) {
          if (list[b].row[5 + j] == 0.0f) {
            continue;
          }
          if (provider_iou(list[a], list[b]) > static_cast<double>(t)) {
            list[b].row[5 + j] = 0.0f;
          }
        }
      }
    }
  }
}

detections process_yolo_sealed_output_detections(float* sealed_output, std::int64_t boxes_count,
                                                 std::int64_t batch_size, std::int32_t classes,
                                                 float* conf_thresholds, float* nms_thresholds,
                                                 std::int32_t width, std::int32_t height,
                                                 std::vector<std::vector<std::int64_t>>* sources) {
  std::vector<std::vector<box_provider>> candidates;
  if (batch_size != 0) {
    candidates.reserve(static_cast<std::size_t>(batch_size));
  }
  for (std::int64_t i = 0; i < batch_size; ++i) {
    std::vector<box_provider> list;
    if (boxes_count != 0) {
      list.reserve(static_cast<std::size_t>(boxes_count));
    }
    candidates.push_back(list);
  }
  const std::int64_t stride = classes + 5;
  for (std::int64_t i = 0; i < batch_size; ++i) {
    const float t = conf_thresholds[i];
    for (std::int64_t r = 0; r < boxes_count; ++r) {
      float* row = sealed_output + (i * boxes_count + r) * stride;
      if (!(row[4] > t)) {
        continue;
      }
      for (int j = 0; j < classes; ++j) {
        const float p = row[4] * row[5 + j];
        if (p > t) {
          row[5 + j] = p;
        } else {
          row[5 + j] = 0.0f;
        }
      }
      candidates[static_cast<std::size_t>(i)].push_back(box_provider{row, classes});
    }
  }

  darknet_box_nms_sort(candidates, classes, nms_thresholds);

  detections result;
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const std::vector<box_provider>& list = candidates[i];
    if (sources != nullptr) {
      sources->emplace_back();
    }
    std::vector<object_detection> records;
    if (boxes_count != 0) {
      records.reserve(static_cast<std::size_t>(boxes_count));
    }
    for (const box_provider& p : list) {
      int best = 0;
      for (int j = 1; j < p.classes; ++j) {
        if (p.row[5 + j] > p.row[5 + best]) {
          best = j;
        }
      }
      const float score = p.row[5 + best];
      if (score == 0.0f) {
        continue;
      }
      const float half_w = p.row[2] * 0.5f;
      const float half_h = p.row[3] * 0.5f;
      records.push_back(object_detection{(p.row[0] - half_w) / w, (p.row[1] - half_h) / h,
                                         (p.row[0] + half_w) / w, (p.row[1] + half_h) / h, best,
                                         p.row[4], score});
      if (sources != nullptr) {
        const std::int64_t image_start = static_cast<std::int64_t>(i) * boxes_count * stride;
        sources->back().push_back(((p.row - sealed_output) - image_start) / stride);
      }
    }
    records.shrink_to_fit();
    result.push_back(records);
  }
  return result;
}

}  // namespace quelt_reference

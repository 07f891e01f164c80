#include "row_nms.hpp"

#include <algorithm>
#include <cstddef>

namespace quelt {

namespace {

enum : std::size_t { x_min = 0, y_min = 1, x_max = 2, y_max = 3, first_class = 5 };

// Intersection over union of the corner boxes starting at `a` (better
// ranked) and `b`. Touching or disjoint boxes give 0; a NaN compares false
// against every threshold, so it never suppresses.
float overlap(const float* a, const float* b) {
  const float ix_min = b[x_min] > a[x_min] ? b[x_min] : a[x_min];
  const float ix_max = b[x_max] < a[x_max] ? b[x_max] : a[x_max];
  const float iy_min = b[y_min] > a[y_min] ? b[y_min] : a[y_min];
  const float iy_max = b[y_max] < a[y_max] ? b[y_max] : a[y_max];
  if (ix_min >= ix_max || iy_min >= iy_max) {
    return 0.0f;
  }
  const float intersection = (iy_max - iy_min) * (ix_max - ix_min);
  const float area_a = (a[y_max] - a[y_min]) * (a[x_max] - a[x_min]);
  const float area_b = (b[y_max] - b[y_min]) * (b[x_max] - b[x_min]);
  return intersection / ((area_b + area_a) - intersection);
}

// Adjacent-exchange sort on whole rows: stable, and a strict "greater than"
// leaves NaN keys where they are.
void sort_rows(std::vector<float>& rows, std::size_t stride, std::size_t key) {
  const std::size_t n = rows.size() / stride;
  if (n < 2) {
    return;
  }
  float* data = rows.data();
  for (std::size_t pass = 0; pass + 1 < n; ++pass) {
    for (std::size_t j = 0; j + 1 < n - pass; ++j) {
      float* upper = data + j * stride;
      float* lower = upper + stride;
      if (lower[key] > upper[key]) {
        std::swap_ranges(upper, lower, lower);
      }
    }
  }
}

}  // namespace

void descending_sort_yolo_boxes(std::vector<float>& rows, int classes, int class_index) {
  // Outside these bounds the key would lie past the row or the stride be 0.
  if (class_index < 0 || class_index >= classes) {
    return;
  }
  const std::size_t stride = static_cast<std::size_t>(classes) + first_class;
  sort_rows(rows, stride, first_class + static_cast<std::size_t>(class_index));
}

void do_nms_sort(std::vector<std::vector<float>>& boxes, int classes, float* nms_thresholds) {
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const float threshold = nms_thresholds[i];
    std::vector<float>& rows = boxes[i];
    if (rows.empty() || classes <= 0) {
      continue;
    }
    const std::size_t stride = static_cast<std::size_t>(classes) + first_class;
    const std::size_t n = rows.size() / stride;
    for (std::size_t k = 0; k < static_cast<std::size_t>(classes); ++k) {
      const std::size_t key = first_class + k;
      sort_rows(rows, stride, key);
      float* data = rows.data();
      for (std::size_t a = 0; a < n; ++a) {
        const float* row_a = data + a * stride;
        if (row_a[key] == 0.0f) {
          continue;
        }
        for (std::size_t b = a + 1; b < n; ++b) {
          float* row_b = data + b * stride;
          if (row_b[key] == 0.0f) {
            continue;
          }
          if (overlap(row_a, row_b) >= threshold) {
            row_b[key] = 0.0f;
          }
        }
      }
    }
  }
}

}  // namespace quelt

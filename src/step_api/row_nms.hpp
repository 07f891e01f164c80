// Class-wise non-maximum suppression over flat box rows.
#ifndef QUELT_STEP_API_ROW_NMS_HPP
#define QUELT_STEP_API_ROW_NMS_HPP

#include <vector>

#include "quelt/quelt.h"

namespace quelt {

// Orders the whole rows of `rows` (stride `classes` + 5) by the probability of
// `class_index`, highest first. Stable: equal keys keep their order, and a NaN
// key never moves. Floats past the last whole row are left alone.
QUELT_API void descending_sort_yolo_boxes(std::vector<float>& rows, int classes, int class_index);

// For every image list and every class: orders the rows by that class, then
// zeroes that class's probability in every row whose box overlaps a
// better-ranked row of the class by at least the image's threshold
// (intersection over union). Rows stay in the order of the last class pass.
QUELT_API void do_nms_sort(std::vector<std::vector<float>>& boxes, int classes,
                           float* nms_thresholds);

}  // namespace quelt

#endif

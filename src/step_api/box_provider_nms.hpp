// Class-wise suppression of the sealed path's candidate boxes.
#ifndef QUELT_STEP_API_BOX_PROVIDER_NMS_HPP
#define QUELT_STEP_API_BOX_PROVIDER_NMS_HPP

#include <vector>

#include "darknet_box_provider.hpp"
#include "quelt/quelt.h"

namespace quelt {

// For each image list i and each class, ranks the list by objectness and
// zeroes, through `row`, the class score of every candidate that overlaps a
// better-ranked holder of that class by more than nms_thresholds[i]. No
// candidate is removed; each list ends in descending order of objectness.
// Does nothing to the lists when `classes` is 0 or below.
QUELT_API void darknet_box_nms_sort(std::vector<std::vector<darknet_box_provider>>& lists,
                                    int classes, float* nms_thresholds);

}  // namespace quelt

#endif

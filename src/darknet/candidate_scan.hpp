// Box extraction straight from the caller's raw layer values: each record's
// objectness is tested first, and only records that pass are activated and
// decoded. The rows produced are bit for bit those of activating a copy of
// the whole layer and extracting from it.
#ifndef QUELT_DARKNET_CANDIDATE_SCAN_HPP
#define QUELT_DARKNET_CANDIDATE_SCAN_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"
#include "row_nms_plan.hpp"

namespace quelt::detail {

// The logistic function exactly as activation computes it.
float logistic(float value);

// A raw objectness below the returned value cannot pass `threshold` after the
// logistic; NaN when nothing can pass. Values at or above it still have to be
// checked with the logistic itself: the cut only spares that work for the
// records far below the threshold.
float raw_objectness_cut(float threshold);

// Appends the rows of image `image` of one layer to `rows` (classes + 5 floats
// each) and every class probability that is not zero to `members`.
void scan_layer_image(const yolo_output& layer, std::uint64_t image, int classes, net_params net,
                      float threshold, std::vector<float>& rows,
                      std::vector<class_member>& members);

}  // namespace quelt::detail

#endif

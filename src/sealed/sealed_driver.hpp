// Decoding of a sealed output: one flat tensor whose rows already hold
// decoded boxes (centre, size in network-input pixels, objectness, one score
// per class).
#ifndef QUELT_SEALED_SEALED_DRIVER_HPP
#define QUELT_SEALED_SEALED_DRIVER_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace quelt {

// Returns one list of detections per image. Works in the caller's tensor:
// afterwards the class scores of every row whose objectness passed hold the
// thresholded products, with 0 where suppression struck.
//
// Negative counts fail with the standard length error before anything else.
// Everything else is what the C entry of the same name checks before it
// calls this: `classes` of 1 or more, a tensor and threshold arrays wherever
// there are rows and images to read, and counts whose tensor can be
// addressed. This driver checks none of it.
QUELT_API std::vector<std::vector<object_detection>> process_yolo_sealed_output_detections(
    float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size, std::int32_t classes,
    float* conf_thresholds, float* nms_thresholds, std::int32_t width, std::int32_t height);

namespace detail {

// The one decoding of process_yolo_sealed_output_detections; when `sources`
// is not NULL it also gets, per image, the row index of each record.
std::vector<std::vector<object_detection>> decode_sealed_rows(
    float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size, std::int32_t classes,
    const float* conf_thresholds, const float* nms_thresholds, std::int32_t width,
    std::int32_t height, std::vector<std::vector<std::int64_t>>* sources);

}  // namespace detail

}  // namespace quelt

#endif

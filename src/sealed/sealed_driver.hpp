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
// Otherwise a runtime_exception rejects, before any row is read: `classes`
// below 1, a null tensor with rows to read, null threshold arrays with images
// to decode, and counts whose tensor could not be addressed.
QUELT_API std::vector<std::vector<object_detection>> process_yolo_sealed_output_detections(
    float* sealed_output, std::int64_t boxes_count, std::int64_t batch_size, std::int32_t classes,
    float* conf_thresholds, float* nms_thresholds, std::int32_t width, std::int32_t height);

}  // namespace quelt

#endif

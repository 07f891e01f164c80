// The Darknet-layer decoding path from layer values to detection records.
#ifndef QUELT_DARKNET_DARKNET_DRIVER_HPP
#define QUELT_DARKNET_DARKNET_DRIVER_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace quelt {

// Decodes `outputs_count` layers into one list of records per image of the
// first layer. The caller's buffers, masks, anchors and thresholds are only
// read. The result is that of activating copies of the layers, extracting
// box rows, suppressing class by class and converting what survives, but
// only the records whose objectness passes are ever activated and decoded.
// Expects descriptors that keep the layer invariants (every layer with the
// first layer's class and image counts); it checks none of them.
QUELT_API std::vector<std::vector<object_detection>> process_yolo_detections(
    yolo_output* outputs, std::uint64_t outputs_count, net_params net, float* conf_thresholds,
    float* nms_thresholds);

namespace detail {

// The one decoding of process_yolo_detections; when `sources` is not NULL it
// also gets, per image, the index of each record's anchor record, counting
// the layers in order and within a layer the records as they lie (cell
// row-major, then anchor slot).
std::vector<std::vector<object_detection>> decode_darknet_layers(
    const yolo_output* outputs, std::uint64_t outputs_count, net_params net,
    const float* conf_thresholds, const float* nms_thresholds,
    std::vector<std::vector<std::int64_t>>* sources);

}  // namespace detail

}  // namespace quelt

#endif

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

}  // namespace quelt

#endif

// Thresholded box rows from activated YOLO layers.
#ifndef QUELT_STEP_API_BOX_EXTRACTION_HPP
#define QUELT_STEP_API_BOX_EXTRACTION_HPP

#include <vector>

#include "quelt/quelt.h"

namespace quelt {

// One float list per image (the first layer's batch), each holding rows of
// `classes` + 5 floats: x_min, y_min, x_max, y_max as fractions of the network
// input, objectness, then one probability per class (objectness x score when
// that exceeds the image's threshold, else 0). A record is kept only when its
// objectness exceeds the threshold. Rows come in layer, grid row, grid column,
// anchor order. The class scores of kept records are overwritten in place with
// their thresholded probabilities.
QUELT_API std::vector<std::vector<float>> get_yolo_boxes(std::vector<yolo_output>& layers,
                                                         int classes, int net_width, int net_height,
                                                         float* conf_thresholds);

}  // namespace quelt

#endif

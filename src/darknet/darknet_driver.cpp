#include "darknet_driver.hpp"

#include <algorithm>
#include <cstddef>

#include "activation.hpp"
#include "box_extraction.hpp"
#include "row_nms.hpp"

namespace quelt {

namespace {

std::vector<object_detection> to_detections(const std::vector<float>& rows, int classes) {
  const std::size_t stride = static_cast<std::size_t>(classes) + 5;
  const std::size_t n = rows.size() / stride;
  std::vector<object_detection> detections;
  for (std::size_t r = 0; r < n; ++r) {
    const float* row = rows.data() + r * stride;
    const float* probabilities = row + 5;
    float best = probabilities[0];
    std::int32_t best_class = 0;
    for (int j = 1; j < classes; ++j) {
      if (probabilities[j] > best) {
        best = probabilities[j];
        best_class = j;
      }
    }
    // Every class was thresholded away or suppressed; a NaN still counts.
    if (best == 0.0f) {
      continue;
    }
    detections.push_back(
        object_detection{row[0], row[1], row[2], row[3], best_class, row[4], best});
  }
  detections.shrink_to_fit();
  return detections;
}

}  // namespace

std::vector<std::vector<object_detection>> process_yolo_detections(yolo_output* outputs,
                                                                   std::uint64_t outputs_count,
                                                                   net_params net,
                                                                   float* conf_thresholds,
                                                                   float* nms_thresholds) {
  const int classes = outputs[0].classes;

  std::vector<std::vector<float>> values(outputs_count);
  std::vector<yolo_output> layers(outputs, outputs + outputs_count);
  for (std::uint64_t l = 0; l < outputs_count; ++l) {
    const output_tensor& tensor = outputs[l].output;
    const std::uint64_t n = tensor.batch * tensor.height * tensor.width * tensor.channels;
    if (n != 0) {
      values[l].assign(tensor.data, tensor.data + n);
    }
    layers[l].output.data = n != 0 ? values[l].data() : nullptr;
  }

  for (const yolo_output& layer : layers) {
    activate_yolo_output(layer.output, static_cast<int>(layer.mask_size), layer.classes,
                         layer.xy_scale, layer.preactivated != 0);
  }

  std::vector<std::vector<float>> boxes =
      get_yolo_boxes(layers, classes, net.width, net.height, conf_thresholds);
  do_nms_sort(boxes, classes, nms_thresholds);

  std::vector<std::vector<object_detection>> result;
  result.reserve(boxes.size());
  for (const std::vector<float>& rows : boxes) {
    result.push_back(to_detections(rows, classes));
  }
  return result;
}

}  // namespace quelt

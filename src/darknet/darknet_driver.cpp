#include "darknet_driver.hpp"

#include <cstddef>

#include "../framework/class_scores.hpp"
#include "candidate_scan.hpp"
#include "row_nms_plan.hpp"

namespace quelt {

namespace {

// Records of one image from its suppressed rows, in the order the class
// passes leave the rows. Each record carries the row's best remaining class;
// of equal probabilities the lowest class wins, and a best of 0 is no record.
// With `sources`, each record's row source goes there too.
std::vector<object_detection> to_detections(const std::vector<float>& rows, int classes,
                                            const detail::row_nms_workspace& workspace,
                                            const std::vector<std::int64_t>& row_sources,
                                            std::vector<std::int64_t>* sources) {
  const std::size_t stride = static_cast<std::size_t>(classes) + 5;
  std::vector<object_detection> detections;
  for (std::uint32_t r : workspace.order) {
    const float* row = rows.data() + r * stride;
    const std::uint32_t first = workspace.held_start[r];
    const std::size_t before = detections.size();
    sorvanta::framework::append_best_class_record(detections, row[0], row[1], row[2], row[3],
                                                  row[4], row + 5, workspace.held.data() + first,
                                                  workspace.held_start[r + 1] - first, classes);
    if (sources != nullptr && detections.size() != before) {
      sources->push_back(row_sources[r]);
    }
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
  return detail::decode_darknet_layers(outputs, outputs_count, net, conf_thresholds, nms_thresholds,
                                       nullptr);
}

std::vector<std::vector<object_detection>> detail::decode_darknet_layers(
    const yolo_output* outputs, std::uint64_t outputs_count, net_params net,
    const float* conf_thresholds, const float* nms_thresholds,
    std::vector<std::vector<std::int64_t>>* sources) {
  const int classes = outputs[0].classes;
  const std::uint64_t images = outputs[0].output.batch;
  const std::size_t stride = static_cast<std::size_t>(classes) + 5;

  std::vector<std::vector<object_detection>> result;
  result.reserve(images);
  std::vector<float> rows;
  std::vector<std::int64_t> row_sources;
  detail::row_nms_workspace workspace;
  if (sources != nullptr) {
    sources->assign(images, {});
  }
  for (std::uint64_t i = 0; i < images; ++i) {
    rows.clear();
    row_sources.clear();
    workspace.held.clear();
    workspace.held_start.clear();
    std::int64_t first = 0;
    for (std::uint64_t l = 0; l < outputs_count; ++l) {
      detail::scan_layer_image(outputs[l], i, classes, net, conf_thresholds[i], rows,
                               workspace.held, workspace.held_start, first,
                               sources != nullptr ? &row_sources : nullptr);
      const output_tensor& tensor = outputs[l].output;
      first += static_cast<std::int64_t>(tensor.height * tensor.width * outputs[l].mask_size);
    }
    workspace.held_start.push_back(static_cast<std::uint32_t>(workspace.held.size()));
    const std::size_t n = rows.size() / stride;
    detail::plan_row_nms(detail::row_view{rows.data(), n, classes}, nms_thresholds[i], false,
                         workspace);
    for (const detail::class_member& lost : workspace.suppressed) {
      rows[lost.item * stride + 5 + lost.class_index] = 0.0f;
    }
    result.push_back(to_detections(rows, classes, workspace, row_sources,
                                   sources != nullptr ? &(*sources)[i] : nullptr));
  }
  return result;
}

}  // namespace quelt

#include "box_extraction.hpp"

#include <cstddef>
#include <cstdint>

#include "../darknet/box_decoding.hpp"
#include "../framework/screen.hpp"

namespace quelt {

std::vector<std::vector<float>> get_yolo_boxes(std::vector<yolo_output>& layers, int classes,
                                               int net_width, int net_height,
                                               float* conf_thresholds) {
  const std::uint64_t images = layers.empty() ? 0 : layers.front().output.batch;
  std::vector<std::vector<float>> rows(images);
  const std::size_t record_length = static_cast<std::size_t>(classes) + 5;
  const float nw = static_cast<float>(net_width);
  const float nh = static_cast<float>(net_height);

  for (const yolo_output& layer : layers) {
    const output_tensor& tensor = layer.output;
    const float grid_width = static_cast<float>(tensor.width);
    const float grid_height = static_cast<float>(tensor.height);
    const std::uint64_t anchors = layer.mask_size;
    const std::uint64_t image_records = tensor.height * tensor.width * anchors;
    if (image_records == 0) {
      continue;
    }
    for (std::uint64_t i = 0; i < images; ++i) {
      const float threshold = conf_thresholds[i];
      std::vector<float>& image_rows = rows[i];
      float* image_start = tensor.data + i * image_records * record_length;
      // Only records whose objectness passes are touched; a NaN never passes.
      sorvanta::framework::screen_rows(
          image_start + 4, image_records, record_length,
          [threshold](float objectness) { return objectness > threshold; },
          [&](std::uint64_t index) {
            float* v = image_start + index * record_length;
            for (std::size_t p = 5; p < record_length; ++p) {
              const float probability = v[4] * v[p];
              v[p] = probability > threshold ? probability : 0.0f;
            }
            const detail::record_place place = detail::place_of(index, anchors, tensor.width);
            const std::size_t anchor = static_cast<std::size_t>(layer.mask[place.slot]);
            const float anchor_width = layer.anchors[2 * anchor];
            const float anchor_height = layer.anchors[2 * anchor + 1];

            const bool preactivated = layer.preactivated != 0;
            const sorvanta::framework::corner_box box =
                detail::cell_box(place.gx, place.gy, grid_width, grid_height, v[0], v[1],
                                 detail::size_fraction(v[2], anchor_width, nw, preactivated),
                                 detail::size_fraction(v[3], anchor_height, nh, preactivated));
            image_rows.insert(image_rows.end(), {box.x_min, box.y_min, box.x_max, box.y_max});
            image_rows.insert(image_rows.end(), v + 4, v + record_length);
          });
    }
  }
  return rows;
}

}  // namespace quelt

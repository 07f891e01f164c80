#include "candidate_scan.hpp"

#include "../framework/class_scores.hpp"
#include "../framework/logistic.hpp"
#include "../framework/screen.hpp"
#include "box_decoding.hpp"

namespace quelt::detail {

void scan_layer_image(const yolo_output& layer, std::uint64_t image, int classes, net_params net,
                      float threshold, std::vector<float>& rows, std::vector<std::uint32_t>& held,
                      std::vector<std::uint32_t>& held_start, std::int64_t first,
                      std::vector<std::int64_t>* sources) {
  const output_tensor& tensor = layer.output;
  const std::uint64_t anchors = layer.mask_size;
  const std::size_t record_length = static_cast<std::size_t>(classes) + 5;
  const std::uint64_t image_records = tensor.height * tensor.width * anchors;
  if (image_records == 0) {
    return;
  }
  const float* image_start = tensor.data + image * image_records * record_length;

  const bool preactivated = layer.preactivated != 0;
  const float scale = layer.xy_scale;
  const float offset = (scale - 1.0f) * 0.5f;
  const float grid_width = static_cast<float>(tensor.width);
  const float grid_height = static_cast<float>(tensor.height);
  const float nw = static_cast<float>(net.width);
  const float nh = static_cast<float>(net.height);
  const float cut = preactivated ? 0.0f : sorvanta::framework::raw_logistic_cut(threshold);

  // Records are screened on their raw objectness alone (a superset of those
  // that pass); the few that may pass are then checked exactly and decoded.
  const float screen = preactivated ? threshold : cut;
  // Room for one record's held classes, so the running list grows by what is held.
  std::vector<std::uint32_t> held_scratch(static_cast<std::size_t>(classes));
  sorvanta::framework::screen_rows(
      image_start + 4, image_records, record_length,
      [screen](float objectness) { return objectness >= screen; },
      [&](std::uint64_t index) {
        const float* record = image_start + index * record_length;
        const float objectness =
            preactivated ? record[4] : sorvanta::framework::logistic(record[4]);
        if (!(objectness > threshold)) {
          return;
        }

        const std::size_t start = rows.size();
        rows.resize(start + record_length);  // probabilities start at 0
        float* row = rows.data() + start;
        const float* scores = record + 5;
        float* probabilities = row + 5;
        held_start.push_back(static_cast<std::uint32_t>(held.size()));
        if (sources != nullptr) {
          sources->push_back(first + static_cast<std::int64_t>(index));
        }
        const std::size_t count =
            preactivated
                ? sorvanta::framework::threshold_products(
                      scores, probabilities, classes, objectness, threshold, held_scratch.data())
                : sorvanta::framework::threshold_logistic_products(
                      scores, probabilities, classes, objectness, threshold, held_scratch.data());
        held.insert(held.end(), held_scratch.begin(),
                    held_scratch.begin() + static_cast<std::ptrdiff_t>(count));

        const record_place place = place_of(index, anchors, tensor.width);
        const std::size_t anchor = static_cast<std::size_t>(layer.mask[place.slot]);
        const float centre_x = preactivated ? record[0] : sorvanta::framework::logistic(record[0]);
        const float centre_y = preactivated ? record[1] : sorvanta::framework::logistic(record[1]);
        const sorvanta::framework::corner_box box =
            cell_box(place.gx, place.gy, grid_width, grid_height,
                     centre_offset(centre_x, scale, offset), centre_offset(centre_y, scale, offset),
                     size_fraction(record[2], layer.anchors[2 * anchor], nw, preactivated),
                     size_fraction(record[3], layer.anchors[2 * anchor + 1], nh, preactivated));
        row[0] = box.x_min;
        row[1] = box.y_min;
        row[2] = box.x_max;
        row[3] = box.y_max;
        row[4] = objectness;
      });
}

}  // namespace quelt::detail

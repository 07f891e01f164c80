// The records a decoding call hands back: one list per image, in image order.
#ifndef QUELT_FRAMEWORK_DETECTIONS_HPP
#define QUELT_FRAMEWORK_DETECTIONS_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace sorvanta::framework {

using detections_list = std::vector<std::vector<object_detection>>;

struct detailed_detections {
  detections_list records;
  std::vector<std::vector<std::int64_t>> sources;
  std::int32_t extras_per_record = 0;
  std::vector<std::vector<float>> extras;
  std::int32_t keypoints_per_record = 0;
  std::vector<std::vector<float>> keypoints;
  bool original_pixels = false;
  std::int32_t network_width = 0;
  std::int32_t network_height = 0;
  std::vector<quelt_image_geometry> geometry;
};

}  // namespace sorvanta::framework

#endif

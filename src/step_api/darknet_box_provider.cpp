#include "darknet_box_provider.hpp"

#include "../framework/box.hpp"

namespace quelt {

namespace {

using sorvanta::framework::corner_box;

corner_box corners(const float* row) {
  return sorvanta::framework::centre_to_corners(row[0], row[1], row[2], row[3]);
}

}  // namespace

sorvanta::math::bbox2<float> darknet_box_provider::get_bbox() const {
  const corner_box box = corners(row);
  return {box.x_min, box.y_min, box.x_max, box.y_max};
}

// Areas come from the corner form rather than the stored width and height, so
// that a box compared with itself gives exactly 1.
double darknet_box_provider::iou(const darknet_box_provider& other) const {
  return static_cast<double>(sorvanta::framework::overlap(corners(row), corners(other.row)));
}

double darknet_box_provider::iom(const darknet_box_provider& other) const {
  const corner_box a = corners(row);
  const corner_box b = corners(other.row);
  float inter = 0.0f;
  if (!sorvanta::framework::intersection(a, b, inter)) {
    return 0.0;
  }
  return static_cast<double>(inter / (a.area < b.area ? a.area : b.area));
}

}  // namespace quelt

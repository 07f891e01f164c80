#include "darknet_box_provider.hpp"

namespace quelt {

namespace {

using box = sorvanta::math::bbox2<float>;

float area(const box& b) {
  return (b.x_max - b.x_min) * (b.y_max - b.y_min);
}

// False when the boxes are apart, only touch, or either has no extent;
// otherwise `inter` receives the intersection area.
bool intersect(const box& a, const box& b, float& inter) {
  const float ix_min = a.x_min > b.x_min ? a.x_min : b.x_min;
  const float ix_max = a.x_max < b.x_max ? a.x_max : b.x_max;
  const float iy_min = a.y_min > b.y_min ? a.y_min : b.y_min;
  const float iy_max = a.y_max < b.y_max ? a.y_max : b.y_max;
  if (ix_min >= ix_max || iy_min >= iy_max) {
    return false;
  }
  inter = (ix_max - ix_min) * (iy_max - iy_min);
  return true;
}

}  // namespace

sorvanta::math::bbox2<float> darknet_box_provider::get_bbox() const {
  const float hw = row[2] * 0.5f;
  const float hh = row[3] * 0.5f;
  return {row[0] - hw, row[1] - hh, row[0] + hw, row[1] + hh};
}

// Areas come from the corner form rather than the stored width and height, so
// that a box compared with itself gives exactly 1.
double darknet_box_provider::iou(const darknet_box_provider& other) const {
  const box a = get_bbox();
  const box b = other.get_bbox();
  float inter = 0.0f;
  if (!intersect(a, b, inter)) {
    return 0.0;
  }
  return static_cast<double>(inter / ((area(a) + area(b)) - inter));
}

double darknet_box_provider::iom(const darknet_box_provider& other) const {
  const box a = get_bbox();
  const box b = other.get_bbox();
  float inter = 0.0f;
  if (!intersect(a, b, inter)) {
    return 0.0;
  }
  const float area_a = area(a);
  const float area_b = area(b);
  return static_cast<double>(inter / (area_a < area_b ? area_a : area_b));
}

}  // namespace quelt

// Boxes in corner form and the one overlap measure every suppression uses.
//
// Every path must compute an overlap with the same float operations in the
// same order, or their answers would differ in the last bit: this is the only
// place that does.
#ifndef QUELT_FRAMEWORK_BOX_HPP
#define QUELT_FRAMEWORK_BOX_HPP

namespace sorvanta::framework {

// A box with its area, computed once as the overlap measure needs it.
struct corner_box {
  float x_min;
  float y_min;
  float x_max;
  float y_max;
  float area;
};

inline corner_box make_corner_box(float x_min, float y_min, float x_max, float y_max) {
  return corner_box{x_min, y_min, x_max, y_max, (x_max - x_min) * (y_max - y_min)};
}

// Corners of a box given by its centre and size.
inline corner_box centre_to_corners(float cx, float cy, float w, float h) {
  const float half_w = w * 0.5f;
  const float half_h = h * 0.5f;
  return make_corner_box(cx - half_w, cy - half_h, cx + half_w, cy + half_h);
}

// False when the boxes are apart, only touch, or either has no extent;
// otherwise `inter` receives the intersection area. Where bounds are equal or
// unordered (NaN), `first`'s bound is the one compared against, so swapping
// the arguments can change the answer only through NaN.
inline bool intersection(const corner_box& first, const corner_box& second, float& inter) {
  const float ix_min = first.x_min > second.x_min ? first.x_min : second.x_min;
  const float ix_max = first.x_max < second.x_max ? first.x_max : second.x_max;
  const float iy_min = first.y_min > second.y_min ? first.y_min : second.y_min;
  const float iy_max = first.y_max < second.y_max ? first.y_max : second.y_max;
  if (ix_min >= ix_max || iy_min >= iy_max) {
    return false;
  }
  inter = (ix_max - ix_min) * (iy_max - iy_min);
  return true;
}

// Intersection over union; 0 when the boxes do not intersect.
inline float overlap(const corner_box& first, const corner_box& second) {
  float inter = 0.0f;
  if (!intersection(first, second, inter)) {
    return 0.0f;
  }
  return inter / ((first.area + second.area) - inter);
}

// True unless the boxes are certainly apart. Boxes that fail it have an
// overlap of 0 (or NaN, through a NaN bound).
inline bool may_intersect(const corner_box& a, const corner_box& b) {
  return a.x_min < b.x_max && b.x_min < a.x_max && a.y_min < b.y_max && b.y_min < a.y_max;
}

}  // namespace sorvanta::framework

#endif

// A record's edges: as fractions of the network input, or mapped back to the
// original image. Every entry's records get their edges here.
#ifndef QUELT_FRAMEWORK_GEOMETRY_HPP
#define QUELT_FRAMEWORK_GEOMETRY_HPP

#include <cstdint>

#include "box.hpp"
#include "quelt/quelt.h"

namespace sorvanta::framework {

// An edge in network-input pixels mapped to original-image pixels and clipped
// to [0, extent]; NaN stays NaN.
inline float to_original(float edge, float pad, float scale, float extent) {
  const float mapped = (edge - pad) / scale;
  if (mapped < 0.0f) {
    return 0.0f;
  }
  return mapped > extent ? extent : mapped;
}

// The record of a box in network-input pixels, its edges as fractions of the
// network input (not clipped).
inline object_detection fraction_record(const corner_box& box, float width, float height,
                                        std::int32_t class_id, float objectness,
                                        float probability) {
  return object_detection{box.x_min / width,  box.y_min / height, box.x_max / width,
                          box.y_max / height, class_id,           objectness,
                          probability};
}

// The record of a box in network-input pixels, its edges in original-image
// pixels, clipped to the image.
inline object_detection original_record(const corner_box& box, const quelt_image_geometry& g,
                                        std::int32_t class_id, float objectness,
                                        float probability) {
  return object_detection{to_original(box.x_min, g.pad_x, g.scale_x, g.original_width),
                          to_original(box.y_min, g.pad_y, g.scale_y, g.original_height),
                          to_original(box.x_max, g.pad_x, g.scale_x, g.original_width),
                          to_original(box.y_max, g.pad_y, g.scale_y, g.original_height),
                          class_id,
                          objectness,
                          probability};
}

}  // namespace sorvanta::framework

#endif

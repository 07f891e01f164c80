// A candidate box of the sealed path: a view of one row of the caller's
// tensor (centre x, centre y, width, height, objectness, class scores).
#ifndef QUELT_STEP_API_DARKNET_BOX_PROVIDER_HPP
#define QUELT_STEP_API_DARKNET_BOX_PROVIDER_HPP

#include <cstdint>

#include "bbox2.hpp"
#include "quelt/quelt.h"

namespace quelt {

// Copied by value; never owns the row, so reordering a list of providers
// leaves the tensor where it is, and writes through `row` reach the caller.
class darknet_box_provider {
 public:
  float* row;
  std::int32_t classes;

  // Corner form, in the tensor's own units.
  QUELT_API sorvanta::math::bbox2<float> get_bbox() const;
  // Intersection over union; 0 when the boxes do not overlap.
  QUELT_API double iou(const darknet_box_provider& other) const;
  // Intersection over the smaller area; 0 when the boxes do not overlap.
  QUELT_API double iom(const darknet_box_provider& other) const;
};

}  // namespace quelt

#endif

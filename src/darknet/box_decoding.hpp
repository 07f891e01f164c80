// The one decoding of a Darknet anchor record's box terms. Activation,
// extraction and the candidate scan all go through it, so their boxes agree
// to the bit.
#ifndef QUELT_DARKNET_BOX_DECODING_HPP
#define QUELT_DARKNET_BOX_DECODING_HPP

#include <cstdint>

#include "../framework/box.hpp"
#include "../framework/exponential.hpp"

namespace quelt::detail {

// Where record `index` of one image of a layer sits: records run anchor slot
// fastest, then grid column, then grid row.
struct record_place {
  std::uint64_t slot;  // index into the layer's mask
  std::uint64_t gx;
  std::uint64_t gy;
};

inline record_place place_of(std::uint64_t index, std::uint64_t anchors, std::uint64_t grid_width) {
  const std::uint64_t cell = index / anchors;
  return {index % anchors, cell % grid_width, cell / grid_width};
}

// Offset of the box centre within its cell from an activated centre term,
// widened by `scale` around the cell's middle: offset = (scale - 1) / 2.
inline float centre_offset(float activated, float scale, float offset) {
  return activated * scale - offset;
}

// Width or height as a fraction of the network input. A raw term is the log
// of the anchor multiple; an activated one s gives (2 s)^2 anchor sizes.
inline float size_fraction(float term, float anchor, float network, bool preactivated) {
  if (preactivated) {
    return (((term * term) * 4.0f) * anchor) / network;
  }
  return (sorvanta::framework::rounded_exp(term) * anchor) / network;
}

// Corners of the box of cell (gx, gy) of a grid_width x grid_height grid, as
// fractions of the network input.
inline sorvanta::framework::corner_box cell_box(std::uint64_t gx, std::uint64_t gy,
                                                float grid_width, float grid_height, float centre_x,
                                                float centre_y, float width, float height) {
  const float x = (static_cast<float>(gx) + centre_x) / grid_width;
  const float y = (static_cast<float>(gy) + centre_y) / grid_height;
  return sorvanta::framework::centre_to_corners(x, y, width, height);
}

}  // namespace quelt::detail

#endif

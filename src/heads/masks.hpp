// Instance masks: a record's mask coefficients against its image's
// prototypes, computed only over the pixels of the record's box.
//
// Which pixels a mask covers: the pixels of the chosen grid whose centres lie
// in the box, half-open ([x_min, x_max) x [y_min, y_max)), so boxes that only
// touch share no pixel, a box of zero width covers none, and one narrower
// than a pixel covers one pixel or none. The test is made on the grid's own
// coordinates mapped into the box's frame, in single precision, exactly as
// centre_in_box below writes it; every mapping is non-decreasing in the pixel
// index, so the covered pixels are one rectangle, found by bisection.
//
// Values, operation by operation in single precision:
//   logit(u, v) = 0 + k_0 p_0(v, u) + k_1 p_1(v, u) + ... in channel order
//   probability = framework logistic(logit)
// The binary forms sample the probabilities bilinearly at the pixel centre,
// with half-pixel centres and the edge pixels repeated (the prototype
// pixels around the box are read uncropped), and keep the pixels whose
// sample is above 0.5 (NaN never is).
#ifndef QUELT_HEADS_MASKS_HPP
#define QUELT_HEADS_MASKS_HPP

#include <cstdint>
#include <vector>

#include "../framework/box.hpp"
#include "../framework/elements.hpp"
#include "quelt/quelt.h"

namespace quelt::heads {

// One image's prototypes: channel c of prototype pixel (row v, column u) is
// the element at data + (v * row_stride + u * column_stride + c *
// channel_stride) elements.
struct prototype_grid {
  const unsigned char* data;
  std::int64_t row_stride;
  std::int64_t column_stride;
  std::int64_t channel_stride;
  sorvanta::framework::element_format format;
  std::int32_t channels;
  std::int32_t height;
  std::int32_t width;
};

// The grid a mask is drawn on (QUELT_MASK_*).
struct mask_canvas {
  std::int32_t form;
  std::int32_t network_width;
  std::int32_t network_height;
  std::int32_t prototype_width;
  std::int32_t prototype_height;
  quelt_image_geometry geometry;  // read by QUELT_MASK_ORIGINAL_BINARY only
};

// The rectangle of grid pixels a mask covers: columns x .. x + width - 1,
// rows y .. y + height - 1 (width or height 0 for an empty mask).
struct mask_span {
  std::int64_t x;
  std::int64_t y;
  std::int64_t width;
  std::int64_t height;
};

// Where each value of one mask comes from, reused from record to record so
// that drawing allocates nothing once reserved.
struct mask_scratch {
  std::vector<float> probabilities;
  std::vector<float> blended;  // binary forms: probabilities blended along rows
  std::vector<std::int64_t> columns;
  std::vector<float> column_weights;
};

// The pixels of `canvas` that the box (network-input pixels) covers.
mask_span mask_span_of(const sorvanta::framework::corner_box& box, const mask_canvas& canvas);

// Bytes of one value of the form: a float probability, or one byte 0 or 1.
std::uint64_t mask_value_bytes(std::int32_t form);

// Sizes `scratch` for a mask of `span` (so that draw_mask allocates nothing).
void reserve_mask_scratch(const mask_span& span, const mask_canvas& canvas, mask_scratch& scratch);

// Writes the mask's span.width x span.height values, row-major, to `out`.
// `coefficients` holds grid.channels values; `span` is mask_span_of(the
// record's box, canvas) and `scratch` has been reserved for it.
void draw_mask(const float* coefficients, const prototype_grid& grid, const mask_canvas& canvas,
               const mask_span& span, void* out, mask_scratch& scratch);

}  // namespace quelt::heads

#endif

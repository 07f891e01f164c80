// Decoding of box predictions described by strides: anchor-free columns,
// rows with or without objectness, separate tensors and end-to-end rows.
#ifndef QUELT_HEADS_HEADS_DECODE_HPP
#define QUELT_HEADS_HEADS_DECODE_HPP

#include "../framework/detections.hpp"
#include "quelt/quelt.h"

namespace quelt::heads {

using sorvanta::framework::detections_list;

// The records of every image. The caller has checked the call: structs at
// this library's version, strides within reach, thresholds not NaN.
detections_list decode(const quelt_layout& layout, const quelt_decode_options& options);

// The records of every image of raw per-level heads, checked likewise.
detections_list decode_levels(const quelt_levels& levels, const quelt_decode_options& options);

// The same into a details batch: each record's candidate, and the extras
// and keypoints the layout or levels describe.
sorvanta::framework::detailed_detections decode_details(const quelt_layout& layout,
                                                        const quelt_decode_options& options);
sorvanta::framework::detailed_detections decode_levels_details(const quelt_levels& levels,
                                                               const quelt_decode_options& options);

// An empty details batch of `images` images, with the call's network size
// and geometry.
void start_details(sorvanta::framework::detailed_detections& batch, std::int64_t images,
                   const quelt_decode_options& options);

}  // namespace quelt::heads

#endif

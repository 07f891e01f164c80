// Decoding of box predictions described by strides: anchor-free columns,
// rows with or without objectness, separate tensors and end-to-end rows.
#ifndef QUELT_HEADS_HEADS_DECODE_HPP
#define QUELT_HEADS_HEADS_DECODE_HPP

#include "../framework/detections.hpp"
#include "quelt/quelt.h"

namespace quelt::heads {

using sorvanta::framework::detailed_detections;

// The records of every image, with their details when options.details asks
// for them. The caller has checked the call: structs at this library's
// version, strides within reach, thresholds not NaN.
detailed_detections decode(const quelt_layout& layout, const quelt_decode_options& options);

// The records of every image of raw per-level heads, checked likewise.
detailed_detections decode_levels(const quelt_levels& levels, const quelt_decode_options& options);

// A batch of `images` images without records, carrying the call's network
// size and geometry.
detailed_detections empty_batch(std::int64_t images, const quelt_decode_options& options);

}  // namespace quelt::heads

#endif

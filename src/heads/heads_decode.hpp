// Decoding of box predictions described by strides: anchor-free columns,
// rows with or without objectness, separate tensors and end-to-end rows.
#ifndef QUELT_HEADS_HEADS_DECODE_HPP
#define QUELT_HEADS_HEADS_DECODE_HPP

#include <cstdint>

#include "../framework/detections.hpp"
#include "quelt/quelt.h"

namespace quelt::heads {

using sorvanta::framework::detections_list;

// Rejects, naming the field, what quelt_decode documents as bad input; reads
// the per-image arrays of `options` but no tensor value.
void validate_decode_call(const quelt_layout* layout, const quelt_decode_options* options);

// Rejects geometry quelt_decode would refuse (none for NULL); `name`
// prefixes the texts.
void validate_geometry(const quelt_image_geometry* geometry, std::uint64_t images,
                       const char* name);

// The records of every image; the call must have passed validate_decode_call.
detections_list decode(const quelt_layout& layout, const quelt_decode_options& options);

// An edge in network-input pixels mapped to original-image pixels and clipped
// to [0, extent]; NaN stays NaN.
inline float to_original(float edge, float pad, float scale, float extent) {
  const float mapped = (edge - pad) / scale;
  if (mapped < 0.0f) {
    return 0.0f;
  }
  return mapped > extent ? extent : mapped;
}

}  // namespace quelt::heads

#endif

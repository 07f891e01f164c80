// Mapping network-input pixels back to the original image, for every entry's
// records.
#ifndef QUELT_FRAMEWORK_GEOMETRY_HPP
#define QUELT_FRAMEWORK_GEOMETRY_HPP

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

}  // namespace sorvanta::framework

#endif

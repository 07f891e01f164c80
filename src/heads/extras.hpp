// The extras and keypoints of the records that survived: read from their
// candidates after suppression, so the cost grows with the records, not
// with the candidates.
#ifndef QUELT_HEADS_EXTRAS_HPP
#define QUELT_HEADS_EXTRAS_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../framework/detections.hpp"
#include "quelt/quelt.h"

namespace quelt::heads {

// What a call carries per record: E extras, and K keypoints of `values`
// (2 or 3) values read from the first K x values extras.
struct extras_rule {
  std::int32_t count = 0;
  std::int32_t keypoints = 0;
  std::int32_t values = 3;
  bool logit_visibility = false;
  bool grid = false;  // x, y are per-level terms: (raw * 2 + g) * stride

  bool any() const { return count > 0; }
};

extras_rule extras_rule_of(const quelt_layout& layout);
extras_rule extras_rule_of(const quelt_levels& levels);

// Where a candidate of per-level heads sits: its cell and its level's stride.
struct cell_place {
  std::int64_t level;
  std::int64_t y;
  std::int64_t x;
  float stride;
};

cell_place place_of(const quelt_levels& levels, std::int64_t candidate);

// Appends the E extras of candidate `candidate` of image `b`, as floats.
void append_extras(const quelt_layout& layout, std::int64_t b, std::int64_t candidate,
                   std::vector<float>& extras);
void append_extras(const quelt_levels& levels, std::int64_t b, const cell_place& place,
                   std::vector<float>& extras);

// Appends K x (x, y, visibility) decoded from one record's extras: x and y
// in network-input pixels (the accessor maps them as the record's edges are
// mapped), the visibility after the logistic for logits, 1 for keypoints of
// 2 values. `place` is read for the grid form.
void append_keypoints(const extras_rule& rule, const float* extras, const cell_place& place,
                      std::vector<float>& keypoints);

// Fills the batch's extras and keypoints from the sources its records
// carry (one per record), as `layout` / `levels` describe them; nothing when
// they describe none.
void add_extras(const quelt_layout& layout, sorvanta::framework::detailed_detections& batch);
void add_extras(const quelt_levels& levels, sorvanta::framework::detailed_detections& batch);

}  // namespace quelt::heads

#endif

// Per-box class scores: thresholding the products with the objectness, and
// picking the best class, for boxes whose classes are mostly absent (0).
#ifndef QUELT_FRAMEWORK_CLASS_SCORES_HPP
#define QUELT_FRAMEWORK_CLASS_SCORES_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace sorvanta::framework {

// probabilities[j] = objectness x scores[j] if that product exceeds
// `threshold`, else 0 (scores and probabilities may be the same array).
// Writes the classes whose probability is not 0 (+0 and -0 both count as 0)
// to `held`, in class order, and returns their number.
std::size_t threshold_products(const float* scores, float* probabilities, std::int32_t classes,
                               float objectness, float threshold, std::uint32_t* held);

// The first class with the largest probability, looking only at the classes
// in `held` (in class order) since every other class reads 0. Returns false
// when that largest probability is 0: the box yields no detection. No
// probability may be NaN.
bool best_held_class(const float* probabilities, const std::uint32_t* held, std::size_t held_count,
                     std::int32_t classes, std::int32_t& best, float& score);

// Appends the record of a box under its best class (see best_held_class), if
// it has one left.
inline void append_best_class_record(std::vector<object_detection>& records, float x_min,
                                     float y_min, float x_max, float y_max, float objectness,
                                     const float* probabilities, const std::uint32_t* held,
                                     std::size_t held_count, std::int32_t classes) {
  std::int32_t best = 0;
  float score = 0.0f;
  if (best_held_class(probabilities, held, held_count, classes, best, score)) {
    records.push_back(object_detection{x_min, y_min, x_max, y_max, best, objectness, score});
  }
}

}  // namespace sorvanta::framework

#endif

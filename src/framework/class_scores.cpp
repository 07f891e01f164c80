#include "class_scores.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sorvanta::framework {

std::size_t threshold_products(const float* scores, float* probabilities, std::int32_t classes,
                               float objectness, float threshold, std::uint32_t* held) {
  std::size_t count = 0;
  std::int32_t j = 0;
#if defined(__SSE2__)
  // Four classes at a time; a product that fails becomes +0 through the mask.
  const __m128 object = _mm_set1_ps(objectness);
  const __m128 limit = _mm_set1_ps(threshold);
  const __m128 zero = _mm_setzero_ps();
  for (; j + 4 <= classes; j += 4) {
    const __m128 product = _mm_mul_ps(object, _mm_loadu_ps(scores + j));
    const __m128 kept = _mm_and_ps(product, _mm_cmpgt_ps(product, limit));
    _mm_storeu_ps(probabilities + j, kept);
    auto nonzero = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpneq_ps(kept, zero)));
    while (nonzero != 0) {
      held[count++] = static_cast<std::uint32_t>(j + __builtin_ctz(nonzero));
      nonzero &= nonzero - 1;
    }
  }
#endif
  for (; j < classes; ++j) {
    const float p = objectness * scores[j];
    probabilities[j] = p > threshold ? p : 0.0f;
    held[count] = static_cast<std::uint32_t>(j);
    count += probabilities[j] != 0.0f ? 1 : 0;
  }
  return count;
}

bool best_held_class(const float* probabilities, const std::uint32_t* held, std::size_t held_count,
                     std::int32_t classes, std::int32_t& best, float& score) {
  // A class not held reads 0, and so does a held one that suppression struck.
  bool zero_seen = held_count < static_cast<std::size_t>(classes);
  best = -1;
  score = 0.0f;
  for (std::size_t h = 0; h < held_count; ++h) {
    const float value = probabilities[held[h]];
    if (value == 0.0f) {
      zero_seen = true;
    } else if (best < 0 || value > score) {
      best = static_cast<std::int32_t>(held[h]);
      score = value;
    }
  }
  // With a 0 among the scores, a negative best loses to it.
  return best >= 0 && !(zero_seen && score < 0.0f);
}

}  // namespace sorvanta::framework

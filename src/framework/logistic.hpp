// The logistic function of raw network outputs, and the shortcuts that spare
// evaluating it for values that cannot pass a threshold.
#ifndef QUELT_FRAMEWORK_LOGISTIC_HPP
#define QUELT_FRAMEWORK_LOGISTIC_HPP

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "exponential.hpp"

namespace sorvanta::framework {

// 1 / (exp(-v) + 1) in single precision, with the correctly rounded
// single-precision exponential. Every path applies the logistic through this one function, so
// they can never differ in a bit.
inline float logistic(float value) {
  return 1.0f / (rounded_exp(-value) + 1.0f);
}

// logistic() of four values at once, the same bits: the exponentials through
// rounded_exp_4, then the same float operations.
inline void logistic_4(const float* value, float* out) {
  float e[4] = {-value[0], -value[1], -value[2], -value[3]};
  rounded_exp_4(e, e);
  for (int lane = 0; lane < 4; ++lane) {
    out[lane] = 1.0f / (e[lane] + 1.0f);
  }
}

// values[i] = logistic(values[i]) for i < n, in place, the same bits: the
// exponentials together through rounded_exp_n in the form `lanes`, then the
// same float operations.
inline void logistic_n(float* values, std::size_t n, exp_lanes lanes) {
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = -values[i];
  }
  rounded_exp_n(values, values, n, lanes);
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = 1.0f / (values[i] + 1.0f);
  }
}

// A raw value below the returned one cannot have a logistic above
// `threshold`; NaN when nothing can pass. Values at or above it still have to
// be checked with the logistic itself: the cut only spares that work for the
// values far below the threshold.
float raw_logistic_cut(float threshold);

// probabilities[j] = scale x logistic(raw[j]) where that product exceeds
// `threshold`; the others are left as they are. Writes the classes that pass
// to `held`, in class order, and returns their number. Raw values that cannot
// pass are ruled out without evaluating the logistic.
std::size_t threshold_logistic_products(const float* raw, float* probabilities,
                                        std::int32_t classes, float scale, float threshold,
                                        std::uint32_t* held);

}  // namespace sorvanta::framework

#endif

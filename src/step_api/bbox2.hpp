// Axis-aligned box in corner form.
#ifndef QUELT_STEP_API_BBOX2_HPP
#define QUELT_STEP_API_BBOX2_HPP

namespace sorvanta::math {

template <class T>
struct bbox2 {
  T x_min;
  T y_min;
  T x_max;
  T y_max;
};

}  // namespace sorvanta::math

#endif

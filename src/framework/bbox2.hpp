// Axis-aligned box in corner form.
#ifndef QUELT_FRAMEWORK_BBOX2_HPP
#define QUELT_FRAMEWORK_BBOX2_HPP

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

// Double-precision sine, cosine, arctangent, exponential and logarithm built
// from additions, multiplications and divisions alone.
//
// The C libraries of the platforms we build for compute these functions
// differently (glibc on aarch64 contracts into fused multiply-adds, MinGW has
// its own), so their last bits differ between platforms. These forms are not
// correctly rounded, but every step is one IEEE operation in a fixed order,
// so they give the same bits everywhere. Their error is a few units in the
// last place of a double, far below what a single-precision answer sees.
#ifndef QUELT_FRAMEWORK_PORTABLE_MATH_HPP
#define QUELT_FRAMEWORK_PORTABLE_MATH_HPP

#include <cmath>
#include <cstdint>
#include <limits>

namespace sorvanta::framework::portable {

namespace detail {

// pi / 2 in three parts of 33 bits, so that k x part is exact for |k| < 2^20.
constexpr double pio2_1 = 1.57079632673412561417e+00;
constexpr double pio2_2 = 6.07710050630396597660e-11;
constexpr double pio2_3 = 2.02226624871116645580e-21;
constexpr double two_over_pi = 6.36619772367581382433e-01;
constexpr double ln2_hi = 6.93147180369123816490e-01;  // 33 bits
constexpr double ln2_lo = 1.90821492927058770002e-10;
constexpr double inv_ln2 = 1.44269504088896338700e+00;
constexpr double pi = 3.14159265358979311600e+00;
constexpr double pi_lo = 1.22464679914735317720e-16;

// Nearest whole number of |x| < 2^51, halves away from zero, by conversion.
inline double nearest(double x) {
  return static_cast<double>(static_cast<std::int64_t>(x + (x < 0.0 ? -0.5 : 0.5)));
}

// sin and cos of |r| <= pi/4 (a little more after reduction): Taylor series
// to the 19th and 20th power, Horner's rule.
inline double sin_kernel(double r) {
  const double z = r * r;
  double p = -1.0 / 121645100408832000.0;  // -1/19!
  p = p * z + 1.0 / 355687428096000.0;
  p = p * z - 1.0 / 1307674368000.0;
  p = p * z + 1.0 / 6227020800.0;
  p = p * z - 1.0 / 39916800.0;
  p = p * z + 1.0 / 362880.0;
  p = p * z - 1.0 / 5040.0;
  p = p * z + 1.0 / 120.0;
  p = p * z - 1.0 / 6.0;
  return r + r * (z * p);
}

inline double cos_kernel(double r) {
  const double z = r * r;
  double p = 1.0 / 2432902008176640000.0;  // 1/20!
  p = p * z - 1.0 / 6402373705728000.0;
  p = p * z + 1.0 / 20922789888000.0;
  p = p * z - 1.0 / 87178291200.0;
  p = p * z + 1.0 / 479001600.0;
  p = p * z - 1.0 / 3628800.0;
  p = p * z + 1.0 / 40320.0;
  p = p * z - 1.0 / 720.0;
  p = p * z + 1.0 / 24.0;
  return 1.0 + z * (-0.5 + z * p);
}

// atan of |t| <= tan(pi/16) ~ 0.199: the series to the 27th power.
inline double atan_kernel(double t) {
  const double z = t * t;
  double p = -1.0 / 27.0;
  for (int k = 25; k >= 3; k -= 2) {
    p = p * z + ((k / 2) % 2 == 0 ? 1.0 : -1.0) / static_cast<double>(k);
  }
  return t + t * (z * p);
}

}  // namespace detail

// sin and cos of x in radians. Accurate for |x| up to about 2^20 x pi/2;
// beyond, the reduction loses bits (still the same bits everywhere). NaN for
// a NaN or an infinity.
inline void sin_cos(double x, double& sine, double& cosine) {
  if (!(std::fabs(x) < 1.0e15)) {
    sine = cosine = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  const double k = detail::nearest(x * detail::two_over_pi);
  const double r = ((x - k * detail::pio2_1) - k * detail::pio2_2) - k * detail::pio2_3;
  const double s = detail::sin_kernel(r);
  const double c = detail::cos_kernel(r);
  switch (static_cast<std::int64_t>(k) & 3) {
    case 0:
      sine = s;
      cosine = c;
      break;
    case 1:
      sine = c;
      cosine = -s;
      break;
    case 2:
      sine = -s;
      cosine = -c;
      break;
    default:
      sine = -c;
      cosine = s;
      break;
  }
}

// atan2(y, x) in (-pi, pi], as the C library defines its quadrants (signed
// zeros aside: atan2(+-0, x) is +0 for x >= 0 and pi for x < 0).
inline double atan2(double y, double x) {
  if (y != y || x != x) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const double ay = std::fabs(y);
  const double ax = std::fabs(x);
  if (ay == 0.0 && ax == 0.0) {
    return x < 0.0 || std::signbit(x) ? detail::pi : 0.0;
  }
  // The angle of (ax, ay) in [0, pi/2]: from the smaller over the larger.
  const bool steep = ay > ax;
  double t = steep ? ax / ay : ay / ax;  // in [0, 1], NaN for inf / inf
  if (t != t) {
    t = 1.0;
  }
  // Halve the angle twice: atan t = 2 atan(t / (1 + sqrt(1 + t^2))).
  t = t / (1.0 + std::sqrt(1.0 + t * t));
  t = t / (1.0 + std::sqrt(1.0 + t * t));
  double angle = 4.0 * detail::atan_kernel(t);
  if (steep) {
    angle = (detail::pi * 0.5 - angle) + detail::pi_lo * 0.5;
  }
  if (x < 0.0) {
    angle = (detail::pi - angle) + detail::pi_lo;
  }
  return y < 0.0 ? -angle : angle;
}

// e^x; 0 below about -745, infinity above about 709.
inline double exp(double x) {
  if (x != x) {
    return x;
  }
  if (x > 709.78) {
    return std::numeric_limits<double>::infinity();
  }
  if (x < -745.2) {
    return 0.0;
  }
  const double k = detail::nearest(x * detail::inv_ln2);
  const double r = (x - k * detail::ln2_hi) - k * detail::ln2_lo;  // |r| <= ln2 / 2
  // e^r = 1 + r (1 + r/2 (1 + r/3 (... (1 + r/14)))), the series to r^14.
  double e = 1.0;
  for (int n = 14; n >= 1; --n) {
    e = 1.0 + (r * (1.0 / static_cast<double>(n))) * e;
  }
  return std::ldexp(e, static_cast<int>(k));  // exact
}

// The natural logarithm; -infinity at 0, NaN below.
inline double log(double x) {
  if (x != x || x < 0.0) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (x == 0.0) {
    return -std::numeric_limits<double>::infinity();
  }
  if (x == std::numeric_limits<double>::infinity()) {
    return x;
  }
  int e = 0;
  double m = std::frexp(x, &e);  // exact; m in [0.5, 1)
  if (m < 0.70710678118654752440) {
    m = m * 2.0;
    e -= 1;
  }
  // log m = 2 atanh s, s = (m - 1) / (m + 1), |s| < 0.172: the series to s^23.
  const double s = (m - 1.0) / (m + 1.0);
  const double z = s * s;
  double p = 1.0 / 23.0;
  for (int k = 21; k >= 3; k -= 2) {
    p = p * z + 1.0 / static_cast<double>(k);
  }
  const double log_m = 2.0 * s + 2.0 * s * (z * p);
  const double k = static_cast<double>(e);
  return (k * detail::ln2_hi + log_m) + k * detail::ln2_lo;
}

}  // namespace sorvanta::framework::portable

#endif

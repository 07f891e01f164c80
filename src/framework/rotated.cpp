#include "rotated.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sorvanta::framework {

namespace {

constexpr double pi = 3.14159265358979323846;

struct point {
  double x;
  double y;
};

// The four corners around `origin`, counter-clockwise in the frame where
// the width axis turns toward the height axis (positive signed area).
void corners(const rotated_box& box, point origin, point out[4]) {
  const double c = std::cos(static_cast<double>(box.angle));
  const double s = std::sin(static_cast<double>(box.angle));
  const double hw = 0.5 * static_cast<double>(box.w);
  const double hh = 0.5 * static_cast<double>(box.h);
  const double cx = static_cast<double>(box.cx) - origin.x;
  const double cy = static_cast<double>(box.cy) - origin.y;
  const double ux = hw * c;
  const double uy = hw * s;
  const double vx = -hh * s;
  const double vy = hh * c;
  out[0] = point{cx + ux + vx, cy + uy + vy};
  out[1] = point{cx - ux + vx, cy - uy + vy};
  out[2] = point{cx - ux - vx, cy - uy - vy};
  out[3] = point{cx + ux - vx, cy + uy - vy};
}

// Which side of the directed line a -> b the point p lies: positive inside
// (to the left, for a counter-clockwise polygon).
double side(point a, point b, point p) {
  return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
}

// Area of the intersection of two convex quadrilaterals (Sutherland-Hodgman:
// the first clipped by each edge of the second). A clip by one edge adds at
// most one vertex, so four clips of a quadrilateral stay within eight; the
// room beyond is for rounding on nearly parallel edges, and a clip that would
// pass it keeps what it has.
double clipped_area(const point subject[4], const point clip[4]) {
  constexpr std::size_t room = 16;
  point a[room];
  point b[room];
  std::size_t count = 4;
  std::copy(subject, subject + 4, a);
  point* in = a;
  point* out = b;
  for (int e = 0; e < 4 && count > 0; ++e) {
    const point p = clip[e];
    const point q = clip[(e + 1) % 4];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count && kept + 2 <= room; ++i) {
      const point current = in[i];
      const point previous = in[(i + count - 1) % count];
      const double dc = side(p, q, current);
      const double dp = side(p, q, previous);
      if (dc >= 0.0) {
        if (dp < 0.0) {
          // The crossing from outside: dp < 0 <= dc, so t lies in (0, 1].
          const double t = dp / (dp - dc);
          out[kept++] = point{previous.x + t * (current.x - previous.x),
                              previous.y + t * (current.y - previous.y)};
        }
        out[kept++] = current;
      } else if (dp >= 0.0) {
        const double t = dp / (dp - dc);
        out[kept++] = point{previous.x + t * (current.x - previous.x),
                            previous.y + t * (current.y - previous.y)};
      }
    }
    count = kept;
    std::swap(in, out);
  }
  if (count < 3) {
    return 0.0;
  }
  double twice = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const point u = in[i];
    const point v = in[(i + 1) % count];
    twice += u.x * v.y - v.x * u.y;
  }
  return 0.5 * twice;
}

// The five values in one fixed order, so that overlap(a, b) runs the same
// operations as overlap(b, a).
bool goes_first(const rotated_box& a, const rotated_box& b) {
  const float av[5] = {a.cx, a.cy, a.w, a.h, a.angle};
  const float bv[5] = {b.cx, b.cy, b.w, b.h, b.angle};
  for (int i = 0; i < 5; ++i) {
    if (av[i] != bv[i]) {
      return av[i] < bv[i];
    }
  }
  return true;
}

// Half the extents of the bounds, in double.
point half_extent(const rotated_box& box) {
  const double c = std::cos(static_cast<double>(box.angle));
  const double s = std::sin(static_cast<double>(box.angle));
  const double hw = 0.5 * static_cast<double>(box.w);
  const double hh = 0.5 * static_cast<double>(box.h);
  return point{std::fabs(hw * c) + std::fabs(hh * s), std::fabs(hw * s) + std::fabs(hh * c)};
}

float down(double value) {
  const auto f = static_cast<float>(value);
  return static_cast<double>(f) > value ? std::nextafter(f, -INFINITY) : f;
}

float up(double value) {
  const auto f = static_cast<float>(value);
  return static_cast<double>(f) < value ? std::nextafter(f, INFINITY) : f;
}

}  // namespace

bool rotated_valid(const rotated_box& box) {
  if (!(std::isfinite(box.cx) && std::isfinite(box.cy) && std::isfinite(box.angle) &&
        box.w >= 0.0f && box.h >= 0.0f && std::isfinite(box.w) && std::isfinite(box.h))) {
    return false;
  }
  const point e = half_extent(box);
  const double limit = static_cast<double>(std::numeric_limits<float>::max());
  return std::fabs(static_cast<double>(box.cx)) + e.x < limit &&
         std::fabs(static_cast<double>(box.cy)) + e.y < limit;
}

corner_box rotated_bounds(const rotated_box& box) {
  const point e = half_extent(box);
  const double cx = box.cx;
  const double cy = box.cy;
  return make_corner_box(down(cx - e.x), down(cy - e.y), up(cx + e.x), up(cy + e.y));
}

float rotated_overlap(const rotated_box& first, const rotated_box& second) {
  const bool keep = goes_first(first, second);
  const rotated_box& a = keep ? first : second;
  const rotated_box& b = keep ? second : first;
  const double area_a = static_cast<double>(a.w) * static_cast<double>(a.h);
  const double area_b = static_cast<double>(b.w) * static_cast<double>(b.h);
  if (!(area_a > 0.0) || !(area_b > 0.0)) {
    return 0.0f;
  }
  const point origin{0.5 * (static_cast<double>(a.cx) + static_cast<double>(b.cx)),
                     0.5 * (static_cast<double>(a.cy) + static_cast<double>(b.cy))};
  point pa[4];
  point pb[4];
  corners(a, origin, pa);
  corners(b, origin, pb);
  const double smaller = std::min(area_a, area_b);
  const double slack = smaller * 0x1p-24;
  double inter = clipped_area(pa, pb);
  if (inter <= slack) {
    return 0.0f;
  }
  if (inter >= smaller - slack) {
    inter = smaller;
  }
  return static_cast<float>(inter / ((area_a + area_b) - inter));
}

float rotated_probabilistic_overlap(const rotated_box& first, const rotated_box& second) {
  const bool keep = goes_first(first, second);
  const rotated_box& p = keep ? first : second;
  const rotated_box& q = keep ? second : first;
  constexpr double eps = 1e-7;
  // The covariance of a box: diag(w^2 / 12, h^2 / 12) turned by its angle.
  struct covariance {
    double a, b, c;
  };
  auto covariance_of = [](const rotated_box& box) {
    const double w = box.w;
    const double h = box.h;
    const double a = w * w / 12.0;
    const double b = h * h / 12.0;
    const double cos = std::cos(static_cast<double>(box.angle));
    const double sin = std::sin(static_cast<double>(box.angle));
    return covariance{a * cos * cos + b * sin * sin, a * sin * sin + b * cos * cos,
                      (a - b) * cos * sin};
  };
  const covariance c1 = covariance_of(p);
  const covariance c2 = covariance_of(q);
  const double dx = static_cast<double>(p.cx) - static_cast<double>(q.cx);
  const double dy = static_cast<double>(p.cy) - static_cast<double>(q.cy);
  const double sa = c1.a + c2.a;
  const double sb = c1.b + c2.b;
  const double sc = c1.c + c2.c;
  const double det = sa * sb - sc * sc;
  const double t1 = (sa * dy * dy + sb * dx * dx) / (det + eps) * 0.25;
  const double t2 = (sc * (-dx) * dy) / (det + eps) * 0.5;
  const double d1 = std::max(c1.a * c1.b - c1.c * c1.c, 0.0);
  const double d2 = std::max(c2.a * c2.b - c2.c * c2.c, 0.0);
  const double t3 = std::log(det / (4.0 * std::sqrt(d1 * d2) + eps) + eps) * 0.5;
  double distance = t1 + t2 + t3;
  // NaN stays NaN through the clamp.
  distance = distance < eps ? eps : (distance > 100.0 ? 100.0 : distance);
  return static_cast<float>(1.0 - std::sqrt(1.0 - std::exp(-distance) + eps));
}

rotated_box rotated_record_form(const rotated_box& box) {
  double angle = box.angle;
  float w = box.w;
  float h = box.h;
  if (w < h) {
    std::swap(w, h);
    angle += 0.5 * pi;
  }
  angle = std::fmod(angle, pi);
  if (angle < 0.0) {
    angle += pi;
  }
  auto turned = static_cast<float>(angle);
  // float(pi) lies above pi: an angle that rounds to it is a half turn.
  if (!(turned < static_cast<float>(pi))) {
    turned = 0.0f;
  }
  return rotated_box{box.cx, box.cy, w, h, turned};
}

rotated_box map_rotated(const rotated_box& box, float scale_x, float scale_y, float pad_x,
                        float pad_y) {
  const float cx = (box.cx - pad_x) / scale_x;
  const float cy = (box.cy - pad_y) / scale_y;
  if (scale_x == scale_y) {
    return rotated_record_form(rotated_box{cx, cy, box.w / scale_x, box.h / scale_y, box.angle});
  }
  // The images of the width and height axes (unit vectors before mapping).
  const double c = std::cos(static_cast<double>(box.angle));
  const double s = std::sin(static_cast<double>(box.angle));
  const double sx = scale_x;
  const double sy = scale_y;
  const point d1{c / sx, s / sy};
  const point d2{-s / sx, c / sy};
  const double w = box.w;
  const double h = box.h;
  // The extents of the parallelogram along a unit direction and across it.
  struct fit {
    double along, across, angle;
  };
  auto fit_along = [&](point d) {
    const double length = std::hypot(d.x, d.y);
    const point u{d.x / length, d.y / length};
    const double along =
        std::fabs(w * (d1.x * u.x + d1.y * u.y)) + std::fabs(h * (d2.x * u.x + d2.y * u.y));
    const double across =
        std::fabs(w * (d1.x * u.y - d1.y * u.x)) + std::fabs(h * (d2.x * u.y - d2.y * u.x));
    return fit{along, across, std::atan2(u.y, u.x)};
  };
  const fit first = fit_along(d1);
  const fit second = fit_along(d2);
  const fit& best = second.along * second.across < first.along * first.across ? second : first;
  return rotated_record_form(rotated_box{cx, cy, static_cast<float>(best.along),
                                         static_cast<float>(best.across),
                                         static_cast<float>(best.angle)});
}

}  // namespace sorvanta::framework

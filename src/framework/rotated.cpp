#include "rotated.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "portable_math.hpp"

namespace sorvanta::framework {

namespace {

constexpr double pi = 3.14159265358979323846;

struct point {
  double x;
  double y;
};

// The corners of `box` in the frame of `frame`: its centre the origin, its
// width along x, its height along y. Counter-clockwise where x turns toward
// y (positive signed area).
void corners_in_frame(const rotated_box& box, const rotated_box& frame,
                      const rotated_turn& frame_turn, point out[4]) {
  const double turn = static_cast<double>(box.angle) - static_cast<double>(frame.angle);
  double s = 0.0;
  double c = 0.0;
  portable::sin_cos(turn, s, c);
  const double fc = frame_turn.cos;
  const double fs = frame_turn.sin;
  const double dx = static_cast<double>(box.cx) - static_cast<double>(frame.cx);
  const double dy = static_cast<double>(box.cy) - static_cast<double>(frame.cy);
  const double cx = dx * fc + dy * fs;
  const double cy = dy * fc - dx * fs;
  const double hw = 0.5 * static_cast<double>(box.w);
  const double hh = 0.5 * static_cast<double>(box.h);
  const double ux = hw * c;
  const double uy = hw * s;
  const double vx = -hh * s;
  const double vy = hh * c;
  out[0] = point{cx + ux + vx, cy + uy + vy};
  out[1] = point{cx - ux + vx, cy - uy + vy};
  out[2] = point{cx - ux - vx, cy - uy - vy};
  out[3] = point{cx + ux - vx, cy + uy - vy};
}

// Area of the intersection of a convex quadrilateral with the rectangle
// [-hw, hw] x [-hh, hh] (Sutherland-Hodgman, one side at a time). Against
// sides parallel to the axes, how far a point is inside is one subtraction,
// so nearly parallel edges, slivers and long thin boxes keep their digits. A
// clip by one side adds at most one vertex, so the four clips of a
// quadrilateral stay within eight; the room beyond is for rounding, and a
// clip that would pass it keeps what it has.
double clipped_area(const point subject[4], double hw, double hh) {
  constexpr std::size_t room = 16;
  point a[room];
  point b[room];
  std::size_t count = 4;
  std::copy(subject, subject + 4, a);
  point* in = a;
  point* out = b;
  for (int e = 0; e < 4 && count > 0; ++e) {
    // Inside: x <= hw, y <= hh, -x <= hw, -y <= hh.
    auto inside = [e, hw, hh](point p) {
      switch (e) {
        case 0:
          return hw - p.x;
        case 1:
          return hh - p.y;
        case 2:
          return hw + p.x;
        default:
          return hh + p.y;
      }
    };
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count && kept + 2 <= room; ++i) {
      const point current = in[i];
      const point previous = in[(i + count - 1) % count];
      const double dc = inside(current);
      const double dp = inside(previous);
      if ((dc >= 0.0) != (dp >= 0.0)) {
        // One end in, one out: t = dp / (dp - dc) lies in [0, 1].
        const double t = dp / (dp - dc);
        out[kept++] = point{previous.x + t * (current.x - previous.x),
                            previous.y + t * (current.y - previous.y)};
      }
      if (dc >= 0.0) {
        out[kept++] = current;
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
point half_extent(const rotated_box& box, const rotated_turn& turn) {
  const double c = turn.cos;
  const double s = turn.sin;
  const double hw = 0.5 * static_cast<double>(box.w);
  const double hh = 0.5 * static_cast<double>(box.h);
  return point{std::fabs(hw * c) + std::fabs(hh * s), std::fabs(hw * s) + std::fabs(hh * c)};
}

// a + b rounded to double, and that rounding's error found exactly
// (two-sum).
struct exact_sum {
  double sum;
  double error;
};

exact_sum two_sum(double a, double b) {
  const double sum = a + b;
  const double b_part = sum - a;
  return exact_sum{sum, (a - (sum - b_part)) + (b - b_part)};
}

// The float at or below a + b, and the one at or above it: from the exact
// error, so that a sum rounded toward the centre (an extent absorbed by a
// huge centre) still gives outward bounds.
float down(double a, double b) {
  const exact_sum s = two_sum(a, b);
  const auto f = static_cast<float>(s.sum);
  const double back = static_cast<double>(f);
  return back > s.sum || (back == s.sum && s.error < 0.0) ? std::nextafter(f, -INFINITY) : f;
}

float up(double a, double b) {
  const exact_sum s = two_sum(a, b);
  const auto f = static_cast<float>(s.sum);
  const double back = static_cast<double>(f);
  return back < s.sum || (back == s.sum && s.error > 0.0) ? std::nextafter(f, INFINITY) : f;
}

}  // namespace

rotated_turn turn_of(const rotated_box& box) {
  rotated_turn turn{};
  portable::sin_cos(static_cast<double>(box.angle), turn.sin, turn.cos);
  return turn;
}

bool rotated_valid(const rotated_box& box) {
  if (!(std::isfinite(box.cx) && std::isfinite(box.cy) && std::isfinite(box.angle) &&
        box.w >= 0.0f && box.h >= 0.0f && std::isfinite(box.w) && std::isfinite(box.h))) {
    return false;
  }
  const point e = half_extent(box, turn_of(box));
  const double limit = static_cast<double>(std::numeric_limits<float>::max());
  return std::fabs(static_cast<double>(box.cx)) + e.x < limit &&
         std::fabs(static_cast<double>(box.cy)) + e.y < limit;
}

corner_box rotated_bounds(const rotated_box& box) {
  return rotated_bounds(box, turn_of(box));
}

corner_box rotated_bounds(const rotated_box& box, const rotated_turn& turn) {
  const point e = half_extent(box, turn);
  const double cx = box.cx;
  const double cy = box.cy;
  return make_corner_box(down(cx, -e.x), down(cy, -e.y), up(cx, e.x), up(cy, e.y));
}

float rotated_overlap(const rotated_box& first, const rotated_box& second) {
  return rotated_overlap(first, turn_of(first), second, turn_of(second));
}

float rotated_overlap(const rotated_box& first, const rotated_turn& first_turn,
                      const rotated_box& second, const rotated_turn& second_turn) {
  const double first_area = static_cast<double>(first.w) * static_cast<double>(first.h);
  const double second_area = static_cast<double>(second.w) * static_cast<double>(second.h);
  if (!(first_area > 0.0) || !(second_area > 0.0)) {
    return 0.0f;
  }
  // Bounds apart: no common area, whatever rounding the clip would add (the
  // grid's culling then agrees with the overlap by construction).
  if (!may_intersect(rotated_bounds(first, first_turn), rotated_bounds(second, second_turn))) {
    return 0.0f;
  }
  // The smaller box (equal areas: the one of the fixed order) is clipped in
  // the frame of the larger, so the clipped corners lie near the frame's
  // centre, however far the larger one reaches.
  const bool keep =
      first_area != second_area ? first_area < second_area : goes_first(first, second);
  const rotated_box& a = keep ? first : second;
  const rotated_box& b = keep ? second : first;
  const rotated_turn& b_turn = keep ? second_turn : first_turn;
  const double area_a = keep ? first_area : second_area;
  const double area_b = keep ? second_area : first_area;
  // a clipped by b, in b's frame: around b's centre, so huge coordinates
  // keep their precision, and with b's sides along the axes.
  point pa[4];
  corners_in_frame(a, b, b_turn, pa);
  const double smaller = std::min(area_a, area_b);
  const double slack = smaller * 0x1p-24;
  double inter = clipped_area(pa, 0.5 * static_cast<double>(b.w), 0.5 * static_cast<double>(b.h));
  if (inter <= slack) {
    return 0.0f;
  }
  if (inter >= smaller - slack) {
    inter = smaller;
  }
  return static_cast<float>(inter / ((area_a + area_b) - inter));
}

float rotated_probabilistic_overlap(const rotated_box& first, const rotated_box& second) {
  return rotated_probabilistic_overlap(first, turn_of(first), second, turn_of(second));
}

float rotated_probabilistic_overlap(const rotated_box& first, const rotated_turn& first_turn,
                                    const rotated_box& second, const rotated_turn& second_turn) {
  const bool keep = goes_first(first, second);
  const rotated_box& p = keep ? first : second;
  const rotated_box& q = keep ? second : first;
  const rotated_turn& p_turn = keep ? first_turn : second_turn;
  const rotated_turn& q_turn = keep ? second_turn : first_turn;
  constexpr double eps = 1e-7;
  // The covariance of a box: diag(w^2 / 12, h^2 / 12) turned by its angle.
  struct covariance {
    double a, b, c;
  };
  auto covariance_of = [](const rotated_box& box, const rotated_turn& turn) {
    const double w = box.w;
    const double h = box.h;
    const double a = w * w / 12.0;
    const double b = h * h / 12.0;
    const double cos = turn.cos;
    const double sin = turn.sin;
    return covariance{a * cos * cos + b * sin * sin, a * sin * sin + b * cos * cos,
                      (a - b) * cos * sin};
  };
  const covariance c1 = covariance_of(p, p_turn);
  const covariance c2 = covariance_of(q, q_turn);
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
  const double t3 = portable::log(det / (4.0 * std::sqrt(d1 * d2) + eps) + eps) * 0.5;
  double distance = t1 + t2 + t3;
  // NaN stays NaN through the clamp.
  distance = distance < eps ? eps : (distance > 100.0 ? 100.0 : distance);
  return static_cast<float>(1.0 - std::sqrt(1.0 - portable::exp(-distance) + eps));
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
  // float(pi) lies above pi: an angle that rounds to it is a half turn. (A
  // NaN angle stays NaN.)
  if (turned >= static_cast<float>(pi)) {
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
  const rotated_turn turn = turn_of(box);
  const double c = turn.cos;
  const double s = turn.sin;
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
    const double length = std::sqrt(d.x * d.x + d.y * d.y);
    const point u{d.x / length, d.y / length};
    const double along =
        std::fabs(w * (d1.x * u.x + d1.y * u.y)) + std::fabs(h * (d2.x * u.x + d2.y * u.y));
    const double across =
        std::fabs(w * (d1.x * u.y - d1.y * u.x)) + std::fabs(h * (d2.x * u.y - d2.y * u.x));
    return fit{along, across, portable::atan2(u.y, u.x)};
  };
  const fit first = fit_along(d1);
  const fit second = fit_along(d2);
  const fit& best = second.along * second.across < first.along * first.across ? second : first;
  return rotated_record_form(rotated_box{cx, cy, static_cast<float>(best.along),
                                         static_cast<float>(best.across),
                                         static_cast<float>(best.angle)});
}

}  // namespace sorvanta::framework

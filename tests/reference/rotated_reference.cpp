// Rotated boxes written out literally: the rectangle's corners, a polygon
// clipped edge by edge into a growing list of points, and the shoelace area.
#include <cmath>
#include <limits>
#include <vector>

#include "framework/portable_math.hpp"
#include "reference/reference.hpp"

namespace quelt_reference {

namespace {

// The library's sine and cosine in double (the same bits on every platform).
double cos_of(double x) {
  double s = 0.0;
  double c = 0.0;
  sorvanta::framework::portable::sin_cos(x, s, c);
  return c;
}

double sin_of(double x) {
  double s = 0.0;
  double c = 0.0;
  sorvanta::framework::portable::sin_cos(x, s, c);
  return s;
}

struct xy {
  double x;
  double y;
};

// Counter-clockwise where the width axis turns toward the height axis,
// relative to `origin` (far from 0, the products of the area would lose the
// digits that matter).
std::vector<xy> corners_of(const rotated& r, xy origin) {
  const double c = cos_of(static_cast<double>(r.angle));
  const double s = sin_of(static_cast<double>(r.angle));
  const double w = r.w;
  const double h = r.h;
  const double local[4][2] = {{w / 2, h / 2}, {-w / 2, h / 2}, {-w / 2, -h / 2}, {w / 2, -h / 2}};
  std::vector<xy> points;
  for (const auto& p : local) {
    points.push_back(xy{(static_cast<double>(r.cx) - origin.x) + (p[0] * c - p[1] * s),
                        (static_cast<double>(r.cy) - origin.y) + (p[0] * s + p[1] * c)});
  }
  return points;
}

double cross(xy a, xy b, xy p) {
  return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
}

xy crossing(xy from, xy to, double d_from, double d_to) {
  const double t = d_from / (d_from - d_to);
  return xy{from.x + t * (to.x - from.x), from.y + t * (to.y - from.y)};
}

double polygon_area(const std::vector<xy>& points) {
  double sum = 0.0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const xy a = points[i];
    const xy b = points[(i + 1) % points.size()];
    sum += a.x * b.y - b.x * a.y;
  }
  return sum / 2;
}

double half_width_x(const rotated& r) {
  return std::fabs(0.5 * r.w * cos_of(static_cast<double>(r.angle))) +
         std::fabs(0.5 * r.h * sin_of(static_cast<double>(r.angle)));
}

double half_width_y(const rotated& r) {
  return std::fabs(0.5 * r.w * sin_of(static_cast<double>(r.angle))) +
         std::fabs(0.5 * r.h * cos_of(static_cast<double>(r.angle)));
}

// The float just at or below the exact value of a + b.
float rounded_down(double a, double b) {
  const double sum = a + b;
  float f = static_cast<float>(sum);
  // What the double sum lost, exactly (two-sum).
  const double lost = (a - (sum - (sum - a))) + (b - (sum - a));
  if (static_cast<double>(f) > sum || (static_cast<double>(f) == sum && lost < 0)) {
    f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  }
  return f;
}

float rounded_up(double a, double b) {
  const double sum = a + b;
  float f = static_cast<float>(sum);
  const double lost = (a - (sum - (sum - a))) + (b - (sum - a));
  if (static_cast<double>(f) < sum || (static_cast<double>(f) == sum && lost > 0)) {
    f = std::nextafter(f, std::numeric_limits<float>::infinity());
  }
  return f;
}

}  // namespace

bool rotated_takes_part(const rotated& r) {
  if (!std::isfinite(r.cx) || !std::isfinite(r.cy) || !std::isfinite(r.w) || !std::isfinite(r.h) ||
      !std::isfinite(r.angle) || r.w < 0 || r.h < 0) {
    return false;
  }
  const double most = std::numeric_limits<float>::max();
  return std::fabs(static_cast<double>(r.cx)) + half_width_x(r) < most &&
         std::fabs(static_cast<double>(r.cy)) + half_width_y(r) < most;
}

void rotated_bounds(const rotated& r, float& x0, float& y0, float& x1, float& y1) {
  x0 = rounded_down(r.cx, -half_width_x(r));
  y0 = rounded_down(r.cy, -half_width_y(r));
  x1 = rounded_up(r.cx, half_width_x(r));
  y1 = rounded_up(r.cy, half_width_y(r));
}

float rotated_iou(const rotated& a, const rotated& b) {
  const double area_a = static_cast<double>(a.w) * a.h;
  const double area_b = static_cast<double>(b.w) * b.h;
  if (area_a <= 0 || area_b <= 0) {
    return 0.0f;
  }
  // Boxes whose bounds do not overlap share no area.
  float ax0, ay0, ax1, ay1, bx0, by0, bx1, by1;
  rotated_bounds(a, ax0, ay0, ax1, ay1);
  rotated_bounds(b, bx0, by0, bx1, by1);
  if (!(ax0 < bx1 && bx0 < ax1 && ay0 < by1 && by0 < ay1)) {
    return 0.0f;
  }
  // Sutherland-Hodgman: a's polygon clipped by each edge of b.
  const xy origin{a.cx, a.cy};
  std::vector<xy> polygon = corners_of(a, origin);
  const std::vector<xy> edges = corners_of(b, origin);
  for (std::size_t e = 0; e < 4 && !polygon.empty(); ++e) {
    const xy p = edges[e];
    const xy q = edges[(e + 1) % 4];
    std::vector<xy> next;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
      const xy previous = polygon[(i + polygon.size() - 1) % polygon.size()];
      const xy current = polygon[i];
      const double d_previous = cross(p, q, previous);
      const double d_current = cross(p, q, current);
      if (d_current >= 0) {
        if (d_previous < 0) {
          next.push_back(crossing(previous, current, d_previous, d_current));
        }
        next.push_back(current);
      } else if (d_previous >= 0) {
        next.push_back(crossing(previous, current, d_previous, d_current));
      }
    }
    polygon = next;
  }
  double inter = polygon.size() < 3 ? 0.0 : polygon_area(polygon);
  const double smaller = area_a < area_b ? area_a : area_b;
  // Rounding of touching, nested and identical corners: within 2^-24 of
  // the smaller area counts as exact.
  const double slack = smaller / 16777216.0;
  if (inter <= slack) {
    return 0.0f;
  }
  if (inter >= smaller - slack) {
    inter = smaller;
  }
  return static_cast<float>(inter / (area_a + area_b - inter));
}

float rotated_probabilistic_iou(const rotated& p, const rotated& q) {
  const double eps = 1e-7;
  const double a1 = static_cast<double>(p.w) * p.w / 12;
  const double b1 = static_cast<double>(p.h) * p.h / 12;
  const double a2 = static_cast<double>(q.w) * q.w / 12;
  const double b2 = static_cast<double>(q.h) * q.h / 12;
  const double c1 = cos_of(static_cast<double>(p.angle));
  const double s1 = sin_of(static_cast<double>(p.angle));
  const double c2 = cos_of(static_cast<double>(q.angle));
  const double s2 = sin_of(static_cast<double>(q.angle));
  // Each covariance turned by its angle: (xx, yy, xy).
  const double xx1 = a1 * c1 * c1 + b1 * s1 * s1;
  const double yy1 = a1 * s1 * s1 + b1 * c1 * c1;
  const double xy1 = (a1 - b1) * c1 * s1;
  const double xx2 = a2 * c2 * c2 + b2 * s2 * s2;
  const double yy2 = a2 * s2 * s2 + b2 * c2 * c2;
  const double xy2 = (a2 - b2) * c2 * s2;
  const double dx = static_cast<double>(p.cx) - q.cx;
  const double dy = static_cast<double>(p.cy) - q.cy;
  const double det = (xx1 + xx2) * (yy1 + yy2) - (xy1 + xy2) * (xy1 + xy2);
  const double t1 = ((xx1 + xx2) * dy * dy + (yy1 + yy2) * dx * dx) / (det + eps) * 0.25;
  const double t2 = ((xy1 + xy2) * (-dx) * dy) / (det + eps) * 0.5;
  const double det1 = std::fmax(xx1 * yy1 - xy1 * xy1, 0.0);
  const double det2 = std::fmax(xx2 * yy2 - xy2 * xy2, 0.0);
  const double t3 =
      sorvanta::framework::portable::log(det / (4 * std::sqrt(det1 * det2) + eps) + eps) * 0.5;
  double d = t1 + t2 + t3;
  if (d < eps) {
    d = eps;
  }
  if (d > 100) {
    d = 100;
  }
  return static_cast<float>(1 - std::sqrt(1 - sorvanta::framework::portable::exp(-d) + eps));
}

rotated rotated_record_form(const rotated& r) {
  const double pi = 3.14159265358979323846;
  rotated out = r;
  double angle = r.angle;
  if (r.w < r.h) {
    out.w = r.h;
    out.h = r.w;
    angle = angle + pi / 2;
  }
  angle = std::fmod(angle, pi);
  if (angle < 0) {
    angle = angle + pi;
  }
  out.angle = static_cast<float>(angle);
  if (out.angle >= static_cast<float>(pi)) {
    out.angle = 0.0f;
  }
  return out;
}

rotated rotated_mapped(const rotated& r, const quelt_image_geometry& g) {
  const float cx = (r.cx - g.pad_x) / g.scale_x;
  const float cy = (r.cy - g.pad_y) / g.scale_y;
  if (g.scale_x == g.scale_y) {
    return rotated_record_form(rotated{cx, cy, r.w / g.scale_x, r.h / g.scale_y, r.angle});
  }
  // The rectangle's sides after the stretch, and the two rectangles around
  // the parallelogram with a side along one of them: the smaller wins (the
  // first on a tie).
  const double c = cos_of(static_cast<double>(r.angle));
  const double s = sin_of(static_cast<double>(r.angle));
  const double side1[2] = {c / g.scale_x, s / g.scale_y};
  const double side2[2] = {-s / g.scale_x, c / g.scale_y};
  double best_area = 0;
  rotated best{};
  for (int k = 0; k < 2; ++k) {
    const double* d = k == 0 ? side1 : side2;
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1]);
    const double ux = d[0] / length;
    const double uy = d[1] / length;
    const double along = std::fabs(r.w * (side1[0] * ux + side1[1] * uy)) +
                         std::fabs(r.h * (side2[0] * ux + side2[1] * uy));
    const double across = std::fabs(r.w * (side1[0] * uy - side1[1] * ux)) +
                          std::fabs(r.h * (side2[0] * uy - side2[1] * ux));
    if (k == 0 || along * across < best_area) {
      best_area = along * across;
      best = rotated{cx, cy, static_cast<float>(along), static_cast<float>(across),
                     static_cast<float>(sorvanta::framework::portable::atan2(uy, ux))};
    }
  }
  return rotated_record_form(best);
}

}  // namespace quelt_reference

// Rotated boxes and the one measure of their overlap every rotated
// suppression uses.
//
// A rotated box is a centre, a width along the direction `angle` (radians,
// turning the x axis toward the y axis: clockwise on an image whose y grows
// downwards) and a height across it. The exact overlap clips one rectangle
// by the other (a convex polygon clip) in double precision and rounds the
// intersection over union to float once; suppression compares that float.
// Sines, cosines and the rest come from portable_math.hpp, so every platform
// gives the same bits.
#ifndef QUELT_FRAMEWORK_ROTATED_HPP
#define QUELT_FRAMEWORK_ROTATED_HPP

#include "box.hpp"

namespace sorvanta::framework {

struct rotated_box {
  float cx;
  float cy;
  float w;
  float h;
  float angle;  // radians, x toward y
};

// Degrees to radians, one single-precision product: float(pi / 180).
constexpr float radians_per_degree = 0.017453292519943295f;

// Which overlap decides rotated suppression.
enum class rotated_measure : unsigned char {
  exact,          // intersection over union of the rectangles
  probabilistic,  // 1 - Hellinger distance of the boxes' Gaussians
};

// The cosine and sine of a box's angle, in double: what every overlap with
// the box needs, computed once per box where it meets many.
struct rotated_turn {
  double cos;
  double sin;
};

rotated_turn turn_of(const rotated_box& box);

// Whether a box takes part in suppression at all: every value finite, sizes
// not negative, and axis-aligned bounds within float range. Other boxes
// neither suppress nor are suppressed.
bool rotated_valid(const rotated_box& box);

// The axis-aligned bounds of the rectangle: centre -+ (|w cos| + |h sin|) / 2
// across x and (|w sin| + |h cos|) / 2 across y, in double, each bound
// rounded outwards to float (the rounding of the double sum included) (its `area` is the bounds'
// area). NaN stays NaN.
corner_box rotated_bounds(const rotated_box& box);
corner_box rotated_bounds(const rotated_box& box, const rotated_turn& turn);

// Intersection over union of two valid boxes' rectangles, in [0, 1]:
// symmetric (the pair is put in one order first), 0 when either has no area,
// their rotated_bounds are apart or they only touch, 1 for identical boxes,
// never above what the smaller box allows. The smaller box is clipped in
// double in the frame of the larger (its centre the origin, its sides along
// the axes), so huge coordinates and long thin boxes keep their precision;
// intersections within
// 2^-24 of 0 or of the smaller box's area are taken as exactly that (the
// rounding of the corners of boxes that touch, share an edge or nest).
float rotated_overlap(const rotated_box& first, const rotated_box& second);
// The same with each box's turn_of given.
float rotated_overlap(const rotated_box& first, const rotated_turn& first_turn,
                      const rotated_box& second, const rotated_turn& second_turn);

// The probabilistic overlap of the OBB post-processing: each box a Gaussian
// with variances w^2 / 12 and h^2 / 12 along its axes, the Bhattacharyya
// distance d of the two clamped to [1e-7, 100], and 1 - sqrt(1 - exp(-d) +
// 1e-7); in double, rounded to float once. An approximation: it is never 0
// (boxes far apart give about -5e-8) and not 1 for identical boxes.
float rotated_probabilistic_overlap(const rotated_box& first, const rotated_box& second);
float rotated_probabilistic_overlap(const rotated_box& first, const rotated_turn& first_turn,
                                    const rotated_box& second, const rotated_turn& second_turn);

// The form a record gives: the longer side as the width (equal sides keep
// theirs) and the angle in [0, pi), as floats.
rotated_box rotated_record_form(const rotated_box& box);

// A box in network-input pixels mapped to original-image pixels by
// x' = (x - pad_x) / scale_x, y' = (y - pad_y) / scale_y, in record form.
// With equal scales the centre and the sizes map (single precision, as the
// axis-aligned edges); with different scales the rectangle becomes a
// parallelogram, and the result is the minimum-area rectangle around its
// four corners (one of its sides lies along a side of the parallelogram).
// Not clipped to the image.
rotated_box map_rotated(const rotated_box& box, float scale_x, float scale_y, float pad_x,
                        float pad_y);

inline float rotated_measure_of(rotated_measure measure, const rotated_box& first,
                                const rotated_turn& first_turn, const rotated_box& second,
                                const rotated_turn& second_turn) {
  return measure == rotated_measure::exact
             ? rotated_overlap(first, first_turn, second, second_turn)
             : rotated_probabilistic_overlap(first, first_turn, second, second_turn);
}

}  // namespace sorvanta::framework

#endif

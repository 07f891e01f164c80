// Fuzz target: the rotated-rectangle overlaps, and quelt_decode over rotated
// boxes.
//
// Input: flags (u8: bit 0 compact values, bit 1 the probabilistic overlap,
// bit 2 degrees, bit 3 counter-clockwise, bit 4 agnostic), the candidates
// (u8, 0..31), classes (u8, 1..4), an IoU threshold (a value), then per
// candidate cx, cy, w, h, angle and one score per class (values, see
// byte_reader::value). Every pair of candidates (and each with itself) is
// also a pair of boxes for the overlap.
//
// Checked, for boxes that take part (finite, sizes not negative): the exact
// overlap is symmetric to the bit, in [0, 1], within min(area) / max(area)
// (never above what either area allows), 0 for a box without area or bounds
// apart, 1 for a box with itself when it has area, and the same for the box
// written a quarter turn on with its sides swapped, up to rounding; the
// probabilistic overlap is symmetric and within [-1e-7, 1]. quelt_decode
// accepts the call, gives each image records in descending score, no more
// than its candidates, with edges ordered or NaN, and the same bytes twice;
// its details batch gives a rotated record per record, of the same class and
// score, the longer side as the width and the angle in [0, pi) (or NaN).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/rotated.hpp"
#include "fuzz_support.hpp"

namespace {

namespace fw = sorvanta::framework;
using quelt::fuzz::byte_reader;
using quelt::fuzz::same_record;
using quelt::fuzz::settle;

enum flag : std::uint8_t {
  compact = 1,
  probabilistic = 2,
  degrees = 4,
  counterclockwise = 8,
  agnostic = 16,
};

void check_pair(const fw::rotated_box& a, const fw::rotated_box& b) {
  if (!fw::rotated_valid(a) || !fw::rotated_valid(b)) {
    return;
  }
  const float ab = fw::rotated_overlap(a, b);
  const float ba = fw::rotated_overlap(b, a);
  FUZZ_CHECK(quelt::fuzz::same_float(ab, ba));
  FUZZ_CHECK(ab >= 0.0f && ab <= 1.0f);
  const double area_a = static_cast<double>(a.w) * a.h;
  const double area_b = static_cast<double>(b.w) * b.h;
  if (!(area_a > 0.0) || !(area_b > 0.0)) {
    FUZZ_CHECK(ab == 0.0f);
  } else {
    const double most = std::min(area_a, area_b) / std::max(area_a, area_b);
    // Rounding to float is monotonic, subnormal results included.
    FUZZ_CHECK(ab <= static_cast<float>(most * (1.0 + 1e-6)));
  }
  if (!fw::may_intersect(fw::rotated_bounds(a), fw::rotated_bounds(b))) {
    FUZZ_CHECK(ab == 0.0f);
  }
  const float pab = fw::rotated_probabilistic_overlap(a, b);
  const float pba = fw::rotated_probabilistic_overlap(b, a);
  FUZZ_CHECK(quelt::fuzz::same_float(pab, pba));
  FUZZ_CHECK(std::isnan(pab) || (pab >= -1e-7f && pab <= 1.0f));
}

void check_self(const fw::rotated_box& a) {
  if (!fw::rotated_valid(a) || !(static_cast<double>(a.w) * a.h > 0.0)) {
    return;
  }
  FUZZ_CHECK(fw::rotated_overlap(a, a) == 1.0f);
  // The same rectangle, a quarter turn on with the sides swapped: only the
  // rounding of the angle and of the corners differs. The float sum's
  // rounding (up to 2^-24 x reach radians) moves the far corners by that
  // times the long side, which costs an overlap of about twice that times
  // the aspect ratio: the check holds where that stays far below 1e-3.
  const fw::rotated_box turned{a.cx, a.cy, a.h, a.w, a.angle + 1.57079637f};
  const double size = std::min(a.w, a.h);
  const double reach = std::fabs(static_cast<double>(a.angle)) + 2.0;
  const double aspect = std::max(a.w, a.h) / size;
  if (fw::rotated_valid(turned) && size > 1e-3 && aspect * reach < 500.0) {
    FUZZ_CHECK(fw::rotated_overlap(a, turned) >= 0.999f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  byte_reader in(data, size);
  const std::uint8_t flags = in.u8();
  const bool small = (flags & compact) != 0;
  const int candidates = in.u8() % 32;
  const int classes = 1 + in.u8() % 4;
  const float iou = in.value(small);
  const int row = 5 + classes;
  std::vector<float> values(static_cast<std::size_t>(candidates * row) + 1);
  std::vector<fw::rotated_box> boxes;
  for (int n = 0; n < candidates; ++n) {
    for (int c = 0; c < row; ++c) {
      values[static_cast<std::size_t>(n * row + c)] = in.value(small);
    }
    const float* v = &values[static_cast<std::size_t>(n * row)];
    float angle = v[4];
    if ((flags & degrees) != 0) {
      angle = angle * fw::radians_per_degree;
    }
    if ((flags & counterclockwise) != 0) {
      angle = -angle;
    }
    boxes.push_back(fw::rotated_box{v[0], v[1], v[2], v[3], angle});
  }
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    check_self(boxes[i]);
    for (std::size_t j = 0; j <= i; ++j) {
      check_pair(boxes[i], boxes[j]);
    }
  }

  quelt_layout layout;
  quelt_layout_rows(&layout, values.data(), 1, candidates, classes, 0);
  layout.box_coding = QUELT_BOX_ROTATED;
  layout.scores.data = values.data() + 5;
  layout.boxes.candidate_stride = row;
  layout.scores.candidate_stride = row;
  layout.boxes.image_stride = candidates * row;
  layout.scores.image_stride = candidates * row;
  layout.angles = quelt_view{values.data() + 4, candidates * row, row, 0};
  layout.angle_flags = ((flags & degrees) != 0 ? QUELT_ANGLE_DEGREES : 0) |
                       ((flags & counterclockwise) != 0 ? QUELT_ANGLE_COUNTERCLOCKWISE : 0);
  layout.rotated_overlap =
      (flags & probabilistic) != 0 ? QUELT_OVERLAP_PROBABILISTIC : QUELT_OVERLAP_EXACT;
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = 640;
  options.network_height = 640;
  options.agnostic = (flags & agnostic) != 0 ? 1 : 0;
  const float score_threshold = 0.0f;
  const float iou_threshold = std::isnan(iou) ? 0.5f : iou;
  options.score_thresholds = &score_threshold;
  options.iou_thresholds = &iou_threshold;

  std::vector<std::vector<object_detection>> runs;
  for (int run = 0; run < 2; ++run) {
    object_handler handler{};
    FUZZ_CHECK(settle(quelt_decode(&layout, &options, &handler)));
    std::uint64_t count = 0;
    FUZZ_CHECK(settle(detections_batch_detections_count(handler, 0, &count)));
    FUZZ_CHECK(count <= static_cast<std::uint64_t>(candidates));
    std::vector<object_detection> records(count);
    FUZZ_CHECK(settle(detections_batch_detections_store(handler, 0, records.data())));
    FUZZ_CHECK(handler.type == quelt_details_batch);
    std::vector<quelt_rotated_detection> turned(count);
    FUZZ_CHECK(settle(quelt_batch_rotated_store(handler, 0, turned.data())));
    object_handler_destroy(handler);
    for (std::size_t i = 0; i < turned.size(); ++i) {
      const quelt_rotated_detection& t = turned[i];
      FUZZ_CHECK(t.class_id == records[i].class_id);
      FUZZ_CHECK(quelt::fuzz::same_float(t.probability, records[i].probability));
      FUZZ_CHECK(std::isnan(t.angle) || (t.angle >= 0.0f && t.angle < 3.14159274f));
      FUZZ_CHECK(!(t.width < t.height));
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
      const object_detection& r = records[i];
      FUZZ_CHECK(r.probability > score_threshold);
      FUZZ_CHECK(i == 0 || !(r.probability > records[i - 1].probability));
      FUZZ_CHECK(std::isnan(r.x_min) || std::isnan(r.x_max) || r.x_min <= r.x_max);
      FUZZ_CHECK(std::isnan(r.y_min) || std::isnan(r.y_max) || r.y_min <= r.y_max);
    }
    runs.push_back(records);
  }
  FUZZ_CHECK(runs[0].size() == runs[1].size());
  for (std::size_t i = 0; i < runs[0].size(); ++i) {
    FUZZ_CHECK(same_record(runs[0][i], runs[1][i]));
  }
  return 0;
}

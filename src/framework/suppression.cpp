#include "suppression.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

// Four lanes at once with SSE2 on x86-64; one at a time elsewhere.
#if defined(__SSE2__) && defined(__x86_64__)
#define QUELT_SUPPRESSION_SSE2 1
#include <emmintrin.h>
#endif

namespace sorvanta::framework {

namespace {

// One box tested against four held boxes at once: the bit of each lane whose
// box suppresses it, as the all-pairs walk decides it. Each lane takes the
// float operations of overlap() in the same order (SSE2's max and min pick
// their first operand exactly when the conditional expressions there do),
// and the answer for boxes that do not intersect is the one an overlap of 0
// gives. Lanes from `count` on count for nothing.
#if defined(QUELT_SUPPRESSION_SSE2)
template <suppression_rule rule>
class probe {
 public:
  probe(const corner_box& box, float threshold)
      : x_min_(_mm_set1_ps(box.x_min)),
        y_min_(_mm_set1_ps(box.y_min)),
        x_max_(_mm_set1_ps(box.x_max)),
        y_max_(_mm_set1_ps(box.y_max)),
        area_(_mm_set1_ps(box.area)),
        threshold_(_mm_set1_ps(threshold)),
        zero_hits_(_mm_set1_ps(suppresses_at_zero(threshold) ? all_ones() : 0.0f)) {}

  int lanes(const box_lanes& held, std::size_t at, std::size_t count) const {
    const __m128 x_min = _mm_loadu_ps(held.x_min.data() + at);
    const __m128 y_min = _mm_loadu_ps(held.y_min.data() + at);
    const __m128 x_max = _mm_loadu_ps(held.x_max.data() + at);
    const __m128 y_max = _mm_loadu_ps(held.y_max.data() + at);
    const __m128 area = _mm_loadu_ps(held.area.data() + at);
    // "at least" takes overlap(box, kept), "above" overlap(kept, box).
    const bool box_first = rule == suppression_rule::at_least;
    const __m128 ix_min = box_first ? _mm_max_ps(x_min_, x_min) : _mm_max_ps(x_min, x_min_);
    const __m128 ix_max = box_first ? _mm_min_ps(x_max_, x_max) : _mm_min_ps(x_max, x_max_);
    const __m128 iy_min = box_first ? _mm_max_ps(y_min_, y_min) : _mm_max_ps(y_min, y_min_);
    const __m128 iy_max = box_first ? _mm_min_ps(y_max_, y_max) : _mm_min_ps(y_max, y_max_);
    const __m128 meets = _mm_and_ps(_mm_cmpnge_ps(ix_min, ix_max), _mm_cmpnge_ps(iy_min, iy_max));
    const __m128 inter = _mm_mul_ps(_mm_sub_ps(ix_max, ix_min), _mm_sub_ps(iy_max, iy_min));
    const __m128 areas = box_first ? _mm_add_ps(area_, area) : _mm_add_ps(area, area_);
    const __m128 ratio = _mm_div_ps(inter, _mm_sub_ps(areas, inter));
    const __m128 passes =
        box_first ? _mm_cmpge_ps(ratio, threshold_) : _mm_cmpgt_ps(ratio, threshold_);
    const __m128 hits = _mm_or_ps(_mm_and_ps(meets, passes), _mm_andnot_ps(meets, zero_hits_));
    return _mm_movemask_ps(hits) & (count >= 4 ? 15 : (1 << count) - 1);
  }

 private:
  static float all_ones() {
    const std::uint32_t bits = 0xFFFFFFFFu;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  static bool suppresses_at_zero(float threshold) {
    return rule == suppression_rule::at_least ? 0.0f >= threshold : 0.0f > threshold;
  }

  __m128 x_min_, y_min_, x_max_, y_max_, area_, threshold_, zero_hits_;
};
#else
template <suppression_rule rule>
class probe {
 public:
  probe(const corner_box& box, float threshold)
      : box_(box),
        threshold_(threshold),
        zero_hits_(rule == suppression_rule::at_least ? 0.0f >= threshold : 0.0f > threshold) {}

  int lanes(const box_lanes& held, std::size_t at, std::size_t count) const {
    int hits = 0;
    for (std::size_t lane = 0; lane < 4; ++lane) {
      const std::size_t k = at + lane;
      const corner_box kept{held.x_min[k], held.y_min[k], held.x_max[k], held.y_max[k],
                            held.area[k]};
      hits |= static_cast<int>(suppresses(kept)) << lane;
    }
    return hits & (count >= 4 ? 15 : (1 << count) - 1);
  }

 private:
  // overlap()'s operations without its branch, as the four lanes above.
  bool suppresses(const corner_box& kept) const {
    const corner_box& first = rule == suppression_rule::at_least ? box_ : kept;
    const corner_box& second = rule == suppression_rule::at_least ? kept : box_;
    const float ix_min = first.x_min > second.x_min ? first.x_min : second.x_min;
    const float ix_max = first.x_max < second.x_max ? first.x_max : second.x_max;
    const float iy_min = first.y_min > second.y_min ? first.y_min : second.y_min;
    const float iy_max = first.y_max < second.y_max ? first.y_max : second.y_max;
    const bool meets = !(ix_min >= ix_max) & !(iy_min >= iy_max);
    const float inter = (ix_max - ix_min) * (iy_max - iy_min);
    const float ratio = inter / ((first.area + second.area) - inter);
    const bool passes =
        rule == suppression_rule::at_least ? ratio >= threshold_ : ratio > threshold_;
    return (meets & passes) | (!meets & zero_hits_);
  }

  corner_box box_;
  float threshold_;
  bool zero_hits_;
};
#endif

// One rotated box tested against four held ones (whose lanes hold their
// bounds and positions): with `cull`, only where the bounds meet, as
// may_intersect tells it; the overlap of the rule "above" decides.
class rotated_probe {
 public:
  rotated_probe(const rotated_box* boxes, const rotated_turn* turns, const corner_box& bounds,
                std::size_t at, float threshold, rotated_measure measure, bool cull)
      : boxes_(boxes),
        turns_(turns),
        bounds_(bounds),
        at_(at),
        threshold_(threshold),
        measure_(measure),
        cull_(cull) {}

  int lanes(const box_lanes& held, std::size_t at, std::size_t count) const {
    int hits = 0;
    const std::size_t lanes = count < 4 ? count : 4;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      const std::size_t k = at + lane;
      if (cull_ && !(bounds_.x_min < held.x_max[k] && held.x_min[k] < bounds_.x_max &&
                     bounds_.y_min < held.y_max[k] && held.y_min[k] < bounds_.y_max)) {
        continue;
      }
      const std::uint32_t kept = held.position[k];
      const float ratio =
          rotated_measure_of(measure_, boxes_[kept], turns_[kept], boxes_[at_], turns_[at_]);
      hits |= static_cast<int>(ratio > threshold_) << lane;
    }
    return hits;
  }

 private:
  const rotated_box* boxes_;
  const rotated_turn* turns_;
  corner_box bounds_;
  std::size_t at_;
  float threshold_;
  rotated_measure measure_;
  bool cull_;
};

// The boxes a walk tests, by position: their probe, the bounds the grid
// places them by, and what the lanes hold of a kept one.
template <suppression_rule rule>
struct corner_probes {
  const corner_box* boxes;
  float threshold;

  probe<rule> at(std::size_t i) const { return probe<rule>(boxes[i], threshold); }
  const corner_box& bounds(std::size_t i) const { return boxes[i]; }
  void hold(box_lanes& lanes, std::size_t at, std::size_t i) const { lanes.set(at, boxes[i]); }
};

struct rotated_probes {
  const rotated_box* boxes;
  const rotated_turn* turns;
  const corner_box* box_bounds;
  float threshold;
  rotated_measure measure;
  bool cull;

  rotated_probe at(std::size_t i) const {
    return rotated_probe(boxes, turns, box_bounds[i], i, threshold, measure, cull);
  }
  const corner_box& bounds(std::size_t i) const { return box_bounds[i]; }
  void hold(box_lanes& lanes, std::size_t at, std::size_t i) const {
    lanes.set(at, box_bounds[i]);
    lanes.position[at] = static_cast<std::uint32_t>(i);
  }
};

// Whether any of the boxes held in [begin, end) suppresses the probed box.
template <class Probe>
bool any_suppresses(const Probe& box, const box_lanes& held, std::size_t begin, std::size_t end) {
  for (std::size_t at = begin; at < end; at += 4) {
    if (box.lanes(held, at, end - at) != 0) {
      return true;
    }
  }
  return false;
}

// Below this many boxes, testing every kept box costs less than building a
// grid. Measured on boxes spread uniformly over an image: four lanes at once,
// the walk wins up to about 200 boxes (and costs 3x the grid at 10,000); one
// at a time, up to about 20.
#if defined(QUELT_SUPPRESSION_SSE2)
constexpr std::size_t grid_from = 192;
#else
constexpr std::size_t grid_from = 20;
#endif
// The walk goes on while fewer boxes than this are kept, and the grid takes
// over from there: boxes crowding around a few objects (most struck by the
// first box kept near them) are then decided without building a grid.
constexpr std::size_t walk_kept = 16;
// A kept box entering more cells than this goes to the spanning list instead.
constexpr std::size_t max_cells_entered = 16;
// A box reaching over more cells than this is tested against every kept box.
constexpr std::size_t max_cells_visited = 64;

// Every box against every box before it in rank order that is still kept.
template <class Probes>
void suppress_all_pairs(const Probes& probes, std::size_t count, suppression_workspace& ws,
                        std::vector<std::uint32_t>& suppressed) {
  ws.kept.make_room(count);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (any_suppresses(probes.at(i), ws.kept, 0, kept)) {
      suppressed.push_back(static_cast<std::uint32_t>(i));
    } else {
      probes.hold(ws.kept, kept++, i);
    }
  }
}

// A box whose overlap with any box can only be 0 or NaN, given that overlaps
// of 0 do not suppress: no extent in a direction (or a reversed one, or a
// NaN bound), an area of 0 or one that overflowed. The intersection of two
// boxes is no larger than either, so the union then absorbs it or the
// intersection is 0. Such a box neither suppresses nor is suppressed.
bool can_overlap(const corner_box& box) {
  return box.x_min < box.x_max && box.y_min < box.y_max && box.area > 0.0f && box.area < INFINITY;
}

// Cells along one direction: bounds map to cells monotonically (each float
// operation rounds monotonically, then truncation and clamping), so two boxes
// whose bounds interleave strictly share a cell in each direction.
struct axis {
  float origin;
  float inverse_cell;
  std::int32_t cells;

  std::int32_t cell(float value) const {
    const float position = (value - origin) * inverse_cell;
    if (!(position < static_cast<float>(cells - 1))) {
      return cells - 1;
    }
    return position > 0.0f ? static_cast<std::int32_t>(position) : 0;
  }
};

// Each kept box that can matter enters every cell it covers, unless it covers
// many: those are tested by every box. A box is then tested against the kept
// boxes of the cells it covers (a pair sharing several cells may be tested
// in each: the answer is the same, and testing four at a time costs less than
// telling the repeats apart).
// It decides the boxes from `start` on: the walk decided those before and
// left the `kept` boxes it kept in ws.kept (room for `count`), their
// positions in ws.walked.
template <class Probes>
void suppress_on_grid(const Probes& probes, std::size_t count, std::size_t start, std::size_t kept,
                      suppression_workspace& ws, std::vector<std::uint32_t>& suppressed) {
  using span = suppression_workspace::cell_span;
  float x_low = INFINITY;
  float x_high = -INFINITY;
  float y_low = INFINITY;
  float y_high = -INFINITY;
  double width_sum = 0.0;
  double height_sum = 0.0;
  std::size_t members = 0;
  ws.spans.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const corner_box& box = probes.bounds(i);
    if (!can_overlap(box)) {
      ws.spans[i].x0 = -1;
      continue;
    }
    ws.spans[i].x0 = 0;
    x_low = std::min(x_low, box.x_min);
    x_high = std::max(x_high, box.x_max);
    y_low = std::min(y_low, box.y_min);
    y_high = std::max(y_high, box.y_max);
    width_sum += static_cast<double>(box.x_max) - box.x_min;
    height_sum += static_cast<double>(box.y_max) - box.y_min;
    ++members;
  }
  if (members < 2) {
    return;
  }

  // Cells of twice the boxes' mean size, so that a typical box enters one to
  // four and each cell holds a few kept boxes to test four at a time; fewer
  // and larger when the boxes are spread far apart, so the grid stays within
  // a few cells per box.
  const double extent_x = static_cast<double>(x_high) - x_low;
  const double extent_y = static_cast<double>(y_high) - y_low;
  const double budget = 2.0 * static_cast<double>(members) + 16.0;
  double cells_x =
      std::max(1.0, std::ceil(extent_x / (2.0 * width_sum / static_cast<double>(members))));
  double cells_y =
      std::max(1.0, std::ceil(extent_y / (2.0 * height_sum / static_cast<double>(members))));
  if (!(cells_x * cells_y <= budget)) {
    const double shrink = std::sqrt(cells_x * cells_y / budget);
    cells_x = std::max(1.0, std::min(std::floor(cells_x / shrink), budget));
    cells_y = std::max(1.0, std::min(std::floor(cells_y / shrink), budget / cells_x));
  }
  const axis ax{x_low, static_cast<float>(cells_x / extent_x), static_cast<std::int32_t>(cells_x)};
  const axis ay{y_low, static_cast<float>(cells_y / extent_y), static_cast<std::int32_t>(cells_y)};
  const auto cell_count = static_cast<std::size_t>(ax.cells) * static_cast<std::size_t>(ay.cells);
  auto cells_of = [](const span& s) {
    return static_cast<std::size_t>(s.x1 - s.x0 + 1) * static_cast<std::size_t>(s.y1 - s.y0 + 1);
  };

  // The cells each box covers, and room in each cell for every box that may
  // enter it.
  ws.cell_start.assign(cell_count + 1, 0);
  for (std::size_t i = 0; i < count; ++i) {
    span& s = ws.spans[i];
    if (s.x0 < 0) {
      continue;
    }
    const corner_box& box = probes.bounds(i);
    s = span{ax.cell(box.x_min), ax.cell(box.x_max), ay.cell(box.y_min), ay.cell(box.y_max)};
    if (cells_of(s) > max_cells_entered) {
      continue;
    }
    for (std::int32_t y = s.y0; y <= s.y1; ++y) {
      for (std::int32_t x = s.x0; x <= s.x1; ++x) {
        ++ws.cell_start[static_cast<std::size_t>(y) * ax.cells + x + 1];
      }
    }
  }
  for (std::size_t c = 0; c < cell_count; ++c) {
    ws.cell_start[c + 1] += ws.cell_start[c];
  }
  ws.entries.make_room(ws.cell_start[cell_count]);
  // Each cell fills from its start as boxes in it are kept.
  ws.cell_end.assign(ws.cell_start.begin(), ws.cell_start.end() - 1);
  ws.spanning.make_room(members);

  std::size_t spanning = 0;
  // A box enters the spanning list or the cells it covers once kept.
  const auto enter = [&](std::size_t i, const span& s) {
    if (cells_of(s) > max_cells_entered) {
      probes.hold(ws.spanning, spanning++, i);
      return;
    }
    for (std::int32_t y = s.y0; y <= s.y1; ++y) {
      for (std::int32_t x = s.x0; x <= s.x1; ++x) {
        probes.hold(ws.entries, ws.cell_end[static_cast<std::size_t>(y) * ax.cells + x]++, i);
      }
    }
  };
  for (const std::uint32_t i : ws.walked) {
    if (ws.spans[i].x0 >= 0) {
      enter(i, ws.spans[i]);
    }
  }
  for (std::size_t i = start; i < count; ++i) {
    const span& s = ws.spans[i];
    if (s.x0 < 0) {
      continue;
    }
    const auto tested = probes.at(i);
    const std::size_t cells = cells_of(s);
    bool lost = false;
    if (cells > max_cells_visited) {
      lost = any_suppresses(tested, ws.kept, 0, kept);
    } else {
      lost = any_suppresses(tested, ws.spanning, 0, spanning);
      for (std::int32_t y = s.y0; y <= s.y1 && !lost; ++y) {
        for (std::int32_t x = s.x0; x <= s.x1 && !lost; ++x) {
          const std::size_t cell = static_cast<std::size_t>(y) * ax.cells + x;
          lost = any_suppresses(tested, ws.entries, ws.cell_start[cell], ws.cell_end[cell]);
        }
      }
    }
    if (lost) {
      suppressed.push_back(static_cast<std::uint32_t>(i));
      continue;
    }
    probes.hold(ws.kept, kept++, i);
    enter(i, s);
  }
}

// The walk, handing over to the grid once walk_kept boxes are kept. Both
// decide every box as the all-pairs walk does, so where the hand-over falls
// changes no answer.
template <class Probes>
void suppress_walk_then_grid(const Probes& probes, std::size_t count, suppression_workspace& ws,
                             std::vector<std::uint32_t>& suppressed) {
  ws.kept.make_room(count);
  ws.walked.clear();
  ws.walked.reserve(walk_kept);
  std::size_t kept = 0;
  std::size_t i = 0;
  for (; i < count && kept < walk_kept; ++i) {
    if (any_suppresses(probes.at(i), ws.kept, 0, kept)) {
      suppressed.push_back(static_cast<std::uint32_t>(i));
    } else {
      probes.hold(ws.kept, kept++, i);
      ws.walked.push_back(static_cast<std::uint32_t>(i));
    }
  }
  if (i < count) {
    suppress_on_grid(probes, count, i, kept, ws, suppressed);
  }
}

template <suppression_rule rule>
void suppress(const corner_box* boxes, std::size_t count, float threshold,
              suppression_workspace& ws, std::vector<std::uint32_t>& suppressed) {
  // Whether an overlap of 0 (boxes apart) fails the test; a NaN threshold
  // fails every test, so nothing is suppressed then.
  const bool zero_spares =
      rule == suppression_rule::at_least ? threshold > 0.0f : threshold >= 0.0f;
  if (!can_suppress(threshold, rule) || count < 2) {
    return;
  }
  const corner_probes<rule> probes{boxes, threshold};
  if (!zero_spares || count < grid_from) {
    suppress_all_pairs(probes, count, ws, suppressed);
  } else {
    suppress_walk_then_grid(probes, count, ws, suppressed);
  }
}

}  // namespace

void suppress_greedy(const rotated_box* boxes, std::size_t count, float threshold,
                     rotated_measure measure, suppression_workspace& ws,
                     std::vector<std::uint32_t>& suppressed) {
  if (!can_suppress(threshold, suppression_rule::above) || count < 2) {
    return;
  }
  // Bounds that are apart mean an exact overlap of 0, which then spares.
  const bool cull = measure == rotated_measure::exact && threshold >= 0.0f;
  ws.bounds.resize(count);
  ws.turns.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    ws.turns[i] = turn_of(boxes[i]);
    ws.bounds[i] = rotated_bounds(boxes[i], ws.turns[i]);
    // The grid leaves out boxes whose bounds' area overflows; the rotated
    // overlap works on its own areas.
    ws.bounds[i].area = 1.0f;
  }
  const rotated_probes probes{boxes, ws.turns.data(), ws.bounds.data(), threshold, measure, cull};
  if (!cull || count < grid_from) {
    suppress_all_pairs(probes, count, ws, suppressed);
  } else {
    suppress_walk_then_grid(probes, count, ws, suppressed);
  }
}

void suppress_greedy(const corner_box* boxes, std::size_t count, float threshold,
                     suppression_rule rule, suppression_workspace& workspace,
                     std::vector<std::uint32_t>& suppressed) {
  if (rule == suppression_rule::at_least) {
    suppress<suppression_rule::at_least>(boxes, count, threshold, workspace, suppressed);
  } else {
    suppress<suppression_rule::above>(boxes, count, threshold, workspace, suppressed);
  }
}

}  // namespace sorvanta::framework

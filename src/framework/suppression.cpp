#include "suppression.hpp"

#include <algorithm>
#include <cmath>

namespace sorvanta::framework {

namespace {

template <suppression_rule rule>
bool suppresses(const corner_box& kept, const corner_box& box, float threshold) {
  if constexpr (rule == suppression_rule::at_least) {
    return overlap(box, kept) >= threshold;
  } else {
    return overlap(kept, box) > threshold;
  }
}

// Below this many boxes, walking the kept boxes costs less than a grid.
constexpr std::size_t grid_from = 48;
// A kept box entering more cells than this goes to the spanning list instead.
constexpr std::size_t max_cells_entered = 16;
// A box reaching over more cells than this is tested against every kept box.
constexpr std::size_t max_cells_visited = 64;

// Every box before `box` in rank order that is still kept, with the test
// "boxes apart" first where an overlap of 0 cannot suppress.
template <suppression_rule rule>
void suppress_all_pairs(const corner_box* boxes, std::size_t count, float threshold,
                        bool skip_apart, suppression_workspace& ws,
                        std::vector<std::uint32_t>& suppressed) {
  ws.kept.clear();
  for (std::size_t i = 0; i < count; ++i) {
    const corner_box& box = boxes[i];
    bool lost = false;
    for (std::uint32_t k : ws.kept) {
      const corner_box& kept = boxes[k];
      if (skip_apart && !may_intersect(kept, box)) {
        continue;
      }
      if (suppresses<rule>(kept, box, threshold)) {
        lost = true;
        break;
      }
    }
    if (lost) {
      suppressed.push_back(static_cast<std::uint32_t>(i));
    } else {
      ws.kept.push_back(static_cast<std::uint32_t>(i));
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

// Cells along one direction: bounds map to cells monotonically (double
// arithmetic, then floor and clamp), so two boxes whose bounds interleave
// strictly share a cell in each direction.
struct axis {
  double origin;
  double inverse_cell;
  std::int64_t cells;

  std::int64_t cell(float value) const {
    const double position = std::floor((static_cast<double>(value) - origin) * inverse_cell);
    if (!(position > 0.0)) {
      return 0;
    }
    return position < static_cast<double>(cells - 1) ? static_cast<std::int64_t>(position)
                                                     : cells - 1;
  }
};

template <suppression_rule rule>
void suppress_on_grid(const corner_box* boxes, std::size_t count, float threshold,
                      suppression_workspace& ws, std::vector<std::uint32_t>& suppressed) {
  double x_low = INFINITY;
  double x_high = -INFINITY;
  double y_low = INFINITY;
  double y_high = -INFINITY;
  double width_sum = 0.0;
  double height_sum = 0.0;
  std::size_t members = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const corner_box& box = boxes[i];
    if (!can_overlap(box)) {
      continue;
    }
    x_low = std::min(x_low, static_cast<double>(box.x_min));
    x_high = std::max(x_high, static_cast<double>(box.x_max));
    y_low = std::min(y_low, static_cast<double>(box.y_min));
    y_high = std::max(y_high, static_cast<double>(box.y_max));
    width_sum += static_cast<double>(box.x_max) - box.x_min;
    height_sum += static_cast<double>(box.y_max) - box.y_min;
    ++members;
  }
  if (members == 0) {
    return;
  }

  // Cells of the boxes' mean size, so that a typical box enters a few; fewer
  // and larger when the boxes are spread far apart, so the grid stays within
  // a few cells per box.
  const double extent_x = x_high - x_low;
  const double extent_y = y_high - y_low;
  double cell_w = width_sum / static_cast<double>(members);
  double cell_h = height_sum / static_cast<double>(members);
  const double budget = 2.0 * static_cast<double>(members) + 16.0;
  double cells_x = std::max(1.0, std::ceil(extent_x / cell_w));
  double cells_y = std::max(1.0, std::ceil(extent_y / cell_h));
  if (!(cells_x * cells_y <= budget)) {
    const double shrink = std::sqrt(cells_x * cells_y / budget);
    cells_x = std::max(1.0, std::min(std::floor(cells_x / shrink), budget));
    cells_y = std::max(1.0, std::min(std::floor(cells_y / shrink), budget / cells_x));
  }
  const axis ax{x_low, cells_x / extent_x, static_cast<std::int64_t>(cells_x)};
  const axis ay{y_low, cells_y / extent_y, static_cast<std::int64_t>(cells_y)};

  ws.cell_head.assign(static_cast<std::size_t>(ax.cells * ay.cells), -1);
  ws.entries.clear();
  ws.spanning.clear();
  ws.kept.clear();
  ws.seen.clear();
  std::uint32_t query = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const corner_box& box = boxes[i];
    if (!can_overlap(box)) {
      continue;
    }
    ++query;
    const std::int64_t x0 = ax.cell(box.x_min);
    const std::int64_t x1 = ax.cell(box.x_max);
    const std::int64_t y0 = ay.cell(box.y_min);
    const std::int64_t y1 = ay.cell(box.y_max);
    const auto covered = static_cast<std::size_t>((x1 - x0 + 1) * (y1 - y0 + 1));

    auto test = [&](std::uint32_t k) {
      if (ws.seen[k] == query) {
        return false;  // reached through another cell already
      }
      ws.seen[k] = query;
      const corner_box& kept = boxes[ws.kept[k]];
      return may_intersect(kept, box) && suppresses<rule>(kept, box, threshold);
    };
    bool lost = false;
    if (covered > max_cells_visited) {
      for (std::uint32_t k = 0; k < ws.kept.size() && !lost; ++k) {
        lost = test(k);
      }
    } else {
      for (std::size_t s = 0; s < ws.spanning.size() && !lost; ++s) {
        lost = test(ws.spanning[s]);
      }
      for (std::int64_t y = y0; y <= y1 && !lost; ++y) {
        for (std::int64_t x = x0; x <= x1 && !lost; ++x) {
          for (std::int32_t e = ws.cell_head[static_cast<std::size_t>(y * ax.cells + x)];
               e >= 0 && !lost; e = ws.entries[static_cast<std::size_t>(e)].next) {
            lost = test(ws.entries[static_cast<std::size_t>(e)].kept);
          }
        }
      }
    }
    if (lost) {
      suppressed.push_back(static_cast<std::uint32_t>(i));
      continue;
    }

    const auto k = static_cast<std::uint32_t>(ws.kept.size());
    ws.kept.push_back(static_cast<std::uint32_t>(i));
    ws.seen.push_back(query);
    if (covered > max_cells_entered) {
      ws.spanning.push_back(k);
      continue;
    }
    for (std::int64_t y = y0; y <= y1; ++y) {
      for (std::int64_t x = x0; x <= x1; ++x) {
        std::int32_t& head = ws.cell_head[static_cast<std::size_t>(y * ax.cells + x)];
        ws.entries.push_back(suppression_workspace::cell_entry{k, head});
        head = static_cast<std::int32_t>(ws.entries.size() - 1);
      }
    }
  }
}

template <suppression_rule rule>
void suppress(const corner_box* boxes, std::size_t count, float threshold,
              suppression_workspace& ws, std::vector<std::uint32_t>& suppressed) {
  // Whether an overlap of 0 (boxes apart) fails the test; a NaN threshold
  // fails every test, so nothing is suppressed then.
  const bool zero_spares =
      rule == suppression_rule::at_least ? threshold > 0.0f : threshold >= 0.0f;
  if (std::isnan(threshold)) {
    return;
  }
  if (!zero_spares || count < grid_from) {
    suppress_all_pairs<rule>(boxes, count, threshold, zero_spares, ws, suppressed);
  } else {
    suppress_on_grid<rule>(boxes, count, threshold, ws, suppressed);
  }
}

}  // namespace

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

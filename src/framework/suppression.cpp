#include "suppression.hpp"

#include <algorithm>
#include <cmath>

namespace sorvanta::framework {

namespace {

// Whether `kept` suppresses `box`, given that both bound pairs are ordered
// and finite, and that an overlap of 0 does not suppress. The same float
// operations as overlap() where the boxes intersect, without a branch: the
// answer for boxes apart is masked off instead, which keeps this test cheap
// where the grid leaves boxes whose intersection cannot be told in advance.
template <suppression_rule rule>
bool suppresses_ordered(const corner_box& kept, const corner_box& box, float threshold) {
  const corner_box& first = rule == suppression_rule::at_least ? box : kept;
  const corner_box& second = rule == suppression_rule::at_least ? kept : box;
  const float ix_min = first.x_min > second.x_min ? first.x_min : second.x_min;
  const float ix_max = first.x_max < second.x_max ? first.x_max : second.x_max;
  const float iy_min = first.y_min > second.y_min ? first.y_min : second.y_min;
  const float iy_max = first.y_max < second.y_max ? first.y_max : second.y_max;
  const float inter = (ix_max - ix_min) * (iy_max - iy_min);
  const float ratio = inter / ((first.area + second.area) - inter);
  const bool passes = rule == suppression_rule::at_least ? ratio >= threshold : ratio > threshold;
  return (ix_min < ix_max) & (iy_min < iy_max) & passes;
}

template <suppression_rule rule>
bool suppresses(const corner_box& kept, const corner_box& box, float threshold) {
  if constexpr (rule == suppression_rule::at_least) {
    return overlap(box, kept) >= threshold;
  } else {
    return overlap(kept, box) > threshold;
  }
}

// Below this many boxes, walking the kept boxes costs less than a grid.
constexpr std::size_t grid_from = 20;
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

enum : std::uint8_t { left_out = 0, taking_part = 1 };

// Each kept box that can matter enters every cell it covers, unless it covers
// many: those are walked for every box. A box is then tested only against
// the kept boxes of the cells it covers, and a pair sharing several cells
// only in the first cell they share, where the later of their first columns
// meets the later of their first rows.
template <suppression_rule rule>
void suppress_on_grid(const corner_box* boxes, std::size_t count, float threshold,
                      suppression_workspace& ws, std::vector<std::uint32_t>& suppressed) {
  float x_low = INFINITY;
  float x_high = -INFINITY;
  float y_low = INFINITY;
  float y_high = -INFINITY;
  double width_sum = 0.0;
  double height_sum = 0.0;
  std::size_t members = 0;
  ws.state.assign(count, left_out);
  for (std::size_t i = 0; i < count; ++i) {
    const corner_box& box = boxes[i];
    if (!can_overlap(box)) {
      continue;
    }
    ws.state[i] = taking_part;
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

  // Cells of the boxes' mean size, so that a typical box enters a few; fewer
  // and larger when the boxes are spread far apart, so the grid stays within
  // a few cells per box.
  const double extent_x = static_cast<double>(x_high) - x_low;
  const double extent_y = static_cast<double>(y_high) - y_low;
  const double budget = 2.0 * static_cast<double>(members) + 16.0;
  double cells_x = std::max(1.0, std::ceil(extent_x / (width_sum / static_cast<double>(members))));
  double cells_y = std::max(1.0, std::ceil(extent_y / (height_sum / static_cast<double>(members))));
  if (!(cells_x * cells_y <= budget)) {
    const double shrink = std::sqrt(cells_x * cells_y / budget);
    cells_x = std::max(1.0, std::min(std::floor(cells_x / shrink), budget));
    cells_y = std::max(1.0, std::min(std::floor(cells_y / shrink), budget / cells_x));
  }
  const axis ax{x_low, static_cast<float>(cells_x / extent_x), static_cast<std::int32_t>(cells_x)};
  const axis ay{y_low, static_cast<float>(cells_y / extent_y), static_cast<std::int32_t>(cells_y)};
  const auto cell_count = static_cast<std::size_t>(ax.cells) * static_cast<std::size_t>(ay.cells);

  using span = suppression_workspace::cell_span;
  auto cells_of = [](const span& s) {
    return static_cast<std::size_t>(s.x1 - s.x0 + 1) * static_cast<std::size_t>(s.y1 - s.y0 + 1);
  };
  ws.spans.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (ws.state[i] != left_out) {
      const corner_box& box = boxes[i];
      ws.spans[i] =
          span{ax.cell(box.x_min), ax.cell(box.x_max), ay.cell(box.y_min), ay.cell(box.y_max)};
    }
  }

  // Room in each cell for every box that may enter it.
  ws.cell_start.assign(cell_count + 1, 0);
  ws.spanning.clear();
  for (std::size_t i = 0; i < count; ++i) {
    if (ws.state[i] == left_out) {
      continue;
    }
    const span& s = ws.spans[i];
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
  ws.entries.resize(ws.cell_start[cell_count]);
  // Each cell fills from its start as boxes in it are kept.
  ws.cell_end.assign(ws.cell_start.begin(), ws.cell_start.end() - 1);

  ws.kept.clear();
  for (std::size_t i = 0; i < count; ++i) {
    if (ws.state[i] == left_out) {
      continue;
    }
    const corner_box& box = boxes[i];
    const span& s = ws.spans[i];
    auto beats = [&](const corner_box& kept) {
      return may_intersect(kept, box) && suppresses<rule>(kept, box, threshold);
    };
    bool lost = false;
    if (cells_of(s) > max_cells_visited) {
      for (std::size_t k = 0; k < ws.kept.size() && !lost; ++k) {
        lost = beats(boxes[ws.kept[k]]);
      }
    } else {
      for (std::uint32_t k : ws.spanning) {
        lost |= suppresses_ordered<rule>(boxes[k], box, threshold);
      }
      for (std::int32_t y = s.y0; y <= s.y1 && !lost; ++y) {
        for (std::int32_t x = s.x0; x <= s.x1 && !lost; ++x) {
          const std::size_t cell = static_cast<std::size_t>(y) * ax.cells + x;
          const suppression_workspace::cell_entry* entry = ws.entries.data() + ws.cell_start[cell];
          const suppression_workspace::cell_entry* end = ws.entries.data() + ws.cell_end[cell];
          // Branch-free over the cell's kept boxes, a few at a time: which
          // of them count is not predictable, and a few mostly settle it.
          bool hit = false;
          while (!hit && entry != end) {
            const suppression_workspace::cell_entry* stop = entry + 8 < end ? entry + 8 : end;
            for (; entry != stop; ++entry) {
              hit |= (std::max(entry->first_x, s.x0) == x) & (std::max(entry->first_y, s.y0) == y) &
                     suppresses_ordered<rule>(entry->box, box, threshold);
            }
          }
          lost = hit;
        }
      }
    }
    if (lost) {
      suppressed.push_back(static_cast<std::uint32_t>(i));
      continue;
    }
    ws.kept.push_back(static_cast<std::uint32_t>(i));
    if (cells_of(s) > max_cells_entered) {
      ws.spanning.push_back(static_cast<std::uint32_t>(i));
      continue;
    }
    for (std::int32_t y = s.y0; y <= s.y1; ++y) {
      for (std::int32_t x = s.x0; x <= s.x1; ++x) {
        ws.entries[ws.cell_end[static_cast<std::size_t>(y) * ax.cells + x]++] =
            suppression_workspace::cell_entry{box, s.x0, s.y0};
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
  if (!can_suppress(threshold, rule)) {
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

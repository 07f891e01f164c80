// Class-wise suppression over box rows, planned in one go instead of one
// bubble-sorted pass per class.
//
// Without NaN class probabilities, the order that stable descending passes
// over classes 0, 1, ..., K-1 leave behind is the order by the keys
// (p[K-1], p[K-2], ..., p[0]) descending, ties by original position, where
// every p is the value before suppression (each pass sorts before it
// suppresses, and a pass only zeroes its own class). Within pass k the rows
// are likewise ordered by (p[k], p[k-1], ..., p[0]). So one sort per class,
// over only the rows that hold that class, gives every suppression decision,
// and one more sort gives the final order.
#ifndef QUELT_DARKNET_ROW_NMS_PLAN_HPP
#define QUELT_DARKNET_ROW_NMS_PLAN_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../framework/box.hpp"
#include "../framework/ranking.hpp"
#include "../framework/suppression.hpp"

namespace quelt::detail {

// Rows are `classes` + 5 floats: x_min, y_min, x_max, y_max, objectness,
// then one probability per class.
struct row_view {
  const float* data;
  std::size_t count;
  int classes;

  const float* row(std::size_t r) const {
    return data + r * (static_cast<std::size_t>(classes) + 5);
  }
};

// A row (`item`) that holds a class (its probability is not zero).
using sorvanta::framework::class_member;

// Scratch memory reused between images so that steady-state decoding does not
// allocate per call.
struct row_nms_workspace {
  std::vector<std::uint32_t> held;         // input: per row, its classes with p != 0,
  std::vector<std::uint32_t> held_start;   //   in class order from held[held_start[r]]
  std::vector<class_member> members;       // (class, row) in row order
  std::vector<class_member> by_class;      // members bucketed by class
  std::vector<std::uint32_t> class_start;  // bucket offsets, classes + 1 entries
  std::vector<std::int32_t> top_class;     // per row: highest class with p != 0, -1 if none
  std::vector<sorvanta::framework::corner_box> class_boxes;  // one class's boxes in rank order
  std::vector<std::uint32_t> lost;                           // their positions suppressed
  sorvanta::framework::suppression_workspace core;
  std::vector<class_member> suppressed;  // output: (class, row) pairs zeroed by suppression
  std::vector<std::uint32_t> order;      // output: rows in the order the passes leave them
};

// Fills workspace.suppressed and workspace.order from workspace.held and
// held_start (rows.count + 1 entries). `rows` must hold no NaN probability.
// With `all_rows`, `order` holds every row; otherwise only rows that hold at
// least one class (the others cannot yield a detection).
void plan_row_nms(const row_view& rows, float nms_threshold, bool all_rows,
                  row_nms_workspace& workspace);

// Greedy suppression of the rows `members` lists (in rank order) by their
// boxes, at an overlap of at least `threshold`: appends the suppressed
// members to workspace.suppressed.
void suppress_rows(const row_view& rows, const class_member* begin, const class_member* end,
                   float threshold, row_nms_workspace& workspace);

}  // namespace quelt::detail

#endif

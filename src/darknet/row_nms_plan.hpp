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

  sorvanta::framework::corner_box box(std::size_t r) const {
    const float* b = row(r);
    return sorvanta::framework::make_corner_box(b[0], b[1], b[2], b[3]);
  }
};

// A row (`item`) that holds a class (its probability is not zero).
using sorvanta::framework::class_member;

// Scratch memory reused between images so that steady-state decoding does not
// allocate per call.
struct row_nms_workspace {
  std::vector<std::uint32_t> held;        // input: per row, its classes with p != 0,
  std::vector<std::uint32_t> held_start;  //   in class order from held[held_start[r]]
  std::vector<class_member> members;      // (class, row) in row order
  std::vector<std::int32_t> top_class;    // per row: highest class with p != 0, -1 if none
  sorvanta::framework::class_suppression_workspace nms;
  std::vector<class_member> suppressed;  // output: (class, row) pairs zeroed by suppression
  std::vector<std::uint32_t> order;      // output: rows in the order the passes leave them
};

// Fills workspace.suppressed and workspace.order from workspace.held and
// held_start (rows.count + 1 entries). `rows` must hold no NaN probability.
// With `all_rows`, `order` holds every row; otherwise only rows that hold at
// least one class (the others cannot yield a detection).
void plan_row_nms(const row_view& rows, float nms_threshold, bool all_rows,
                  row_nms_workspace& workspace);

}  // namespace quelt::detail

#endif

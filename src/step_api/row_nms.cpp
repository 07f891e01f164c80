#include "row_nms.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>

#include "../darknet/row_nms_plan.hpp"

namespace quelt {

namespace {

namespace fw = sorvanta::framework;

using detail::class_member;
using detail::row_view;

std::size_t stride_of(int classes) {
  return static_cast<std::size_t>(classes) + 5;
}

// Writes the rows of `rows` in the order given by `order` (row indices).
// Floats past the last whole row stay where they are.
void permute_rows(std::vector<float>& rows, std::size_t stride,
                  const std::vector<std::uint32_t>& order) {
  std::vector<float> sorted(order.size() * stride);
  for (std::size_t position = 0; position < order.size(); ++position) {
    std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(order[position] * stride), stride,
                sorted.begin() + static_cast<std::ptrdiff_t>(position * stride));
  }
  std::copy(sorted.begin(), sorted.end(), rows.begin());
}

// One stable descending pass by `key` over the rows listed in `order`. A row
// whose key is NaN compares false both ways and so never moves: it splits the
// list into runs that are sorted separately, exactly as adjacent exchanges
// would leave them.
void sort_pass(const float* data, std::size_t stride, std::size_t key,
               std::vector<std::uint32_t>& order) {
  auto greater = [&](std::uint32_t a, std::uint32_t b) {
    return data[a * stride + key] > data[b * stride + key];
  };
  auto run_start = order.begin();
  for (auto it = order.begin(); it != order.end(); ++it) {
    if (std::isnan(data[*it * stride + key])) {
      std::stable_sort(run_start, it, greater);
      run_start = it + 1;
    }
  }
  std::stable_sort(run_start, order.end(), greater);
}

std::vector<std::uint32_t> identity_order(std::size_t n) {
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  return order;
}

// Greedy suppression of class `k` over the rows in `order` that hold it: a row
// loses its class-k probability exactly when an earlier row that kept it
// overlaps it by at least the threshold.
void suppress_in_order(float* data, int classes, int k, float threshold,
                       const std::vector<std::uint32_t>& order, detail::row_nms_workspace& ws) {
  const std::size_t key = 5 + static_cast<std::size_t>(k);
  const std::size_t stride = stride_of(classes);
  ws.members.clear();
  for (std::uint32_t row : order) {
    if (data[row * stride + key] != 0.0f) {
      ws.members.push_back(class_member{static_cast<std::uint32_t>(k), row});
    }
  }
  const row_view rows{data, order.size(), classes};
  fw::suppress_by_class(
      ws.members, static_cast<std::size_t>(classes), threshold, fw::suppression_rule::at_least,
      ws.nms, [&](const class_member& member) { return rows.box(member.item); }, fw::keep_order{},
      [&](const class_member& lost) { data[lost.item * stride + key] = 0.0f; });
}

// Class passes one after the other; used only when a probability is NaN,
// which no decoded row holds but a caller's rows may.
void suppress_pass_by_pass(std::vector<float>& rows, int classes, float threshold) {
  const std::size_t stride = stride_of(classes);
  const std::size_t n = rows.size() / stride;
  std::vector<std::uint32_t> order = identity_order(n);
  detail::row_nms_workspace workspace;
  for (int k = 0; k < classes; ++k) {
    sort_pass(rows.data(), stride, 5 + static_cast<std::size_t>(k), order);
    suppress_in_order(rows.data(), classes, k, threshold, order, workspace);
  }
  permute_rows(rows, stride, order);
}

}  // namespace

void descending_sort_yolo_boxes(std::vector<float>& rows, int classes, int class_index) {
  // Outside these bounds the key would lie past the row or the stride be 0.
  if (class_index < 0 || class_index >= classes) {
    return;
  }
  const std::size_t stride = stride_of(classes);
  const std::size_t n = rows.size() / stride;
  if (n < 2) {
    return;
  }
  std::vector<std::uint32_t> order = identity_order(n);
  sort_pass(rows.data(), stride, 5 + static_cast<std::size_t>(class_index), order);
  permute_rows(rows, stride, order);
}

void do_nms_sort(std::vector<std::vector<float>>& boxes, int classes, float* nms_thresholds) {
  if (classes <= 0) {
    return;
  }
  const std::size_t stride = stride_of(classes);
  detail::row_nms_workspace workspace;
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    std::vector<float>& rows = boxes[i];
    const std::size_t n = rows.size() / stride;
    if (n == 0) {
      continue;
    }
    const float threshold = nms_thresholds[i];

    bool has_nan = false;
    workspace.held.clear();
    workspace.held_start.clear();
    for (std::size_t r = 0; r < n && !has_nan; ++r) {
      workspace.held_start.push_back(static_cast<std::uint32_t>(workspace.held.size()));
      const float* probabilities = rows.data() + r * stride + 5;
      for (int k = 0; k < classes; ++k) {
        if (std::isnan(probabilities[k])) {
          has_nan = true;
          break;
        }
        if (probabilities[k] != 0.0f) {
          workspace.held.push_back(static_cast<std::uint32_t>(k));
        }
      }
    }
    workspace.held_start.push_back(static_cast<std::uint32_t>(workspace.held.size()));
    if (has_nan) {
      suppress_pass_by_pass(rows, classes, threshold);
      continue;
    }

    detail::plan_row_nms(row_view{rows.data(), n, classes}, threshold, true, workspace);
    for (const class_member& lost : workspace.suppressed) {
      rows[lost.item * stride + 5 + lost.class_index] = 0.0f;
    }
    permute_rows(rows, stride, workspace.order);
  }
}

}  // namespace quelt

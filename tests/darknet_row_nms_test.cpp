// Ordering and class-wise suppression over flat box rows.
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

#include "step_api/row_nms.hpp"

namespace {

using quelt::descending_sort_yolo_boxes;
using quelt::do_nms_sort;
using rows_t = std::vector<float>;

// A row of one class: corners, objectness (used as a label), probability.
rows_t row1(float x0, float y0, float x1, float y1, float label, float p) {
  return {x0, y0, x1, y1, label, p};
}

rows_t join(std::initializer_list<rows_t> rows) {
  rows_t all;
  for (const auto& row : rows) {
    all.insert(all.end(), row.begin(), row.end());
  }
  return all;
}

std::vector<float> column(const rows_t& rows, std::size_t stride, std::size_t index) {
  std::vector<float> values;
  for (std::size_t r = 0; r + stride <= rows.size(); r += stride) {
    values.push_back(rows[r + index]);
  }
  return values;
}

// Corners (0,0,2,2) and (1,0,3,2) overlap by 2 / 6.
TEST(RowNms, OverlapAgainstThreshold) {
  for (float threshold : {0.3f, 0.4f}) {
    std::vector<rows_t> boxes{join({row1(1, 0, 3, 2, 2, 0.8f), row1(0, 0, 2, 2, 1, 0.9f)})};
    do_nms_sort(boxes, 1, &threshold);
    // Ordered by probability first, whatever the outcome.
    EXPECT_EQ(column(boxes[0], 6, 4), (std::vector<float>{1, 2}));
    EXPECT_EQ(boxes[0][5], 0.9f);
    EXPECT_EQ(boxes[0][11], threshold < 1.0f / 3.0f ? 0.0f : 0.8f) << threshold;
  }
}

TEST(RowNms, EqualOverlapSuppresses) {
  // Identical boxes overlap by exactly 1.
  float one = 1.0f;
  std::vector<rows_t> boxes{join({row1(0, 0, 1, 1, 1, 0.9f), row1(0, 0, 1, 1, 2, 0.8f)})};
  do_nms_sort(boxes, 1, &one);
  EXPECT_EQ(boxes[0][11], 0.0f);

  float above_one = 1.0001f;
  boxes = {join({row1(0, 0, 1, 1, 1, 0.9f), row1(0, 0, 1, 1, 2, 0.8f)})};
  do_nms_sort(boxes, 1, &above_one);
  EXPECT_EQ(boxes[0][11], 0.8f);

  // Touching boxes overlap by 0: only a threshold of 0 or below suppresses.
  float small = 0.01f;
  float zero = 0.0f;
  const rows_t touching = join({row1(0, 0, 1, 1, 1, 0.9f), row1(1, 0, 2, 1, 2, 0.8f)});
  boxes = {touching};
  do_nms_sort(boxes, 1, &small);
  EXPECT_EQ(boxes[0][11], 0.8f);
  boxes = {touching};
  do_nms_sort(boxes, 1, &zero);
  EXPECT_EQ(boxes[0][11], 0.0f);
}

// Equal probabilities keep their order, so the earlier row suppresses the
// later one; an already suppressed row suppresses nothing.
TEST(RowNms, TiesAreStableAndSuppressedRowsAreInert) {
  float threshold = 0.3f;
  std::vector<rows_t> boxes{join({
      row1(10, 10, 11, 11, 1, 0.5f), row1(0, 0, 2, 2, 2, 0.7f),
      row1(1, 0, 3, 2, 3, 0.7f),  // overlaps label 2 by 1/3: suppressed
      row1(2, 0, 4, 2, 4, 0.7f),  // overlaps only label 3, which is out
  })};
  do_nms_sort(boxes, 1, &threshold);
  // Suppression does not reorder: the pass's ordering stands.
  EXPECT_EQ(column(boxes[0], 6, 4), (std::vector<float>{2, 3, 4, 1}));
  EXPECT_EQ(column(boxes[0], 6, 5), (std::vector<float>{0.7f, 0.0f, 0.7f, 0.5f}));
}

// Each class is suppressed on its own, and rows end up in the order of the
// last class.
TEST(RowNms, ClassesAreIndependentAndLastPassSetsOrder) {
  float threshold = 0.3f;
  auto row2 = [](float x0, float label, float p0, float p1) {
    return rows_t{x0, 0, x0 + 2, 2, label, p0, p1};
  };
  std::vector<rows_t> boxes{join({
      row2(0, 1, 0.9f, 0.2f),
      row2(1, 2, 0.8f, 0.7f),
      row2(50, 3, 0.0f, 0.3f),
      row2(90, 4, 0.1f, 0.0f),
  })};
  do_nms_sort(boxes, 2, &threshold);
  // Class 0: label 1 suppresses label 2. Class 1: label 2 suppresses label 1.
  EXPECT_EQ(column(boxes[0], 7, 4), (std::vector<float>{2, 3, 1, 4}));
  EXPECT_EQ(column(boxes[0], 7, 5), (std::vector<float>{0.0f, 0.0f, 0.9f, 0.1f}));
  EXPECT_EQ(column(boxes[0], 7, 6), (std::vector<float>{0.7f, 0.3f, 0.0f, 0.0f}));
}

// A NaN key compares false both ways, so it never moves; the other rows
// are ordered around it as far as exchanges with it allow.
TEST(RowNms, NanKeyStaysInPlace) {
  rows_t rows = join({row1(0, 0, 1, 1, 1, 0.9f), row1(0, 0, 1, 1, 2, NAN),
                      row1(0, 0, 1, 1, 3, 0.1f), row1(0, 0, 1, 1, 4, 0.5f)});
  descending_sort_yolo_boxes(rows, 1, 0);
  EXPECT_EQ(column(rows, 6, 4), (std::vector<float>{1, 2, 4, 3}));
  EXPECT_TRUE(std::isnan(rows[11]));
}

TEST(RowNms, SortOrdersByTheChosenClassOnly) {
  rows_t rows;
  for (float label : {1.0f, 2.0f, 3.0f}) {
    // Class 0 descends with the label, class 1 ascends.
    rows.insert(rows.end(), {0, 0, 1, 1, label, 1.0f - label / 10, label / 10});
  }
  descending_sort_yolo_boxes(rows, 2, 0);
  EXPECT_EQ(column(rows, 7, 4), (std::vector<float>{1, 2, 3}));
  descending_sort_yolo_boxes(rows, 2, 1);
  EXPECT_EQ(column(rows, 7, 4), (std::vector<float>{3, 2, 1}));
  // Out-of-range classes leave the rows alone instead of reading past them.
  const rows_t before = rows;
  descending_sort_yolo_boxes(rows, 2, 2);
  descending_sort_yolo_boxes(rows, 2, -1);
  descending_sort_yolo_boxes(rows, -5, 0);
  EXPECT_EQ(rows, before);
}

// Floats past the last whole row are neither moved nor read, even when they
// would win the ordering.
TEST(RowNms, TrailingFloatsUntouched) {
  const rows_t tail{0, 0, 1, 1, 99};
  rows_t rows = join({row1(0, 0, 1, 1, 1, 0.1f), row1(0, 0, 1, 1, 2, 0.2f), tail});
  descending_sort_yolo_boxes(rows, 1, 0);
  EXPECT_EQ(column(rows, 6, 4), (std::vector<float>{2, 1}));
  EXPECT_EQ(rows_t(rows.end() - 5, rows.end()), tail);

  float threshold = 0.5f;
  std::vector<rows_t> boxes{join({row1(0, 0, 1, 1, 1, 0.1f), row1(0, 0, 1, 1, 2, 0.2f), tail})};
  do_nms_sort(boxes, 1, &threshold);
  EXPECT_EQ(column(boxes[0], 6, 5), (std::vector<float>{0.2f, 0.0f}));
  EXPECT_EQ(rows_t(boxes[0].end() - 5, boxes[0].end()), tail);
}

TEST(RowNms, EmptyListsAndNoClassesAreLeftAlone) {
  float thresholds[] = {0.5f, 0.5f, 0.5f};
  const rows_t pair = join({row1(0, 0, 1, 1, 1, 0.1f), row1(0, 0, 1, 1, 2, 0.2f)});
  std::vector<rows_t> boxes{{}, pair, {1.0f, 2.0f}};
  do_nms_sort(boxes, 1, thresholds);
  EXPECT_TRUE(boxes[0].empty());
  EXPECT_EQ(column(boxes[1], 6, 4), (std::vector<float>{2, 1}));
  EXPECT_EQ(boxes[2], (rows_t{1.0f, 2.0f}));

  boxes = {pair};
  do_nms_sort(boxes, 0, thresholds);
  EXPECT_EQ(boxes[0], pair);
}

}  // namespace

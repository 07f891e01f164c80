// Class-wise suppression of the sealed path: ranking by objectness, strictly
// greater overlap, zeros written into the rows.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "step_api/box_provider_nms.hpp"
#include "sealed_test_tensor.hpp"

namespace {

using quelt::darknet_box_nms_sort;
using quelt::darknet_box_provider;
using quelt::test::sealed_tensor;
using provider_lists = std::vector<std::vector<darknet_box_provider>>;

// One list holding every row of `tensor`, in row order.
provider_lists one_list(sealed_tensor& tensor) {
  provider_lists lists(1);
  for (std::int64_t r = 0; r < tensor.rows(); ++r) {
    lists[0].push_back(darknet_box_provider{tensor.row(r), tensor.classes});
  }
  return lists;
}

std::vector<float*> rows_of(const std::vector<darknet_box_provider>& list) {
  std::vector<float*> rows;
  for (const auto& p : list) {
    rows.push_back(p.row);
  }
  return rows;
}

// Squares (0,0) and (1,0), 2 wide: their overlap is the float nearest 1/3.
constexpr float third = 2.0f / 6.0f;

TEST(SealedNms, OverlapEqualToThresholdKeepsAboveItSuppresses) {
  for (const float threshold : {third, std::nextafter(third, 0.0f)}) {
    sealed_tensor t(1);
    t.add(0, 0, 2, 2, 0.9f, {0.5f});
    t.add(1, 0, 2, 2, 0.8f, {0.5f});
    auto lists = one_list(t);
    darknet_box_nms_sort(lists, 1, std::vector<float>{threshold}.data());
    EXPECT_EQ(t.score(0, 0), 0.5f);
    EXPECT_EQ(t.score(1, 0), threshold == third ? 0.5f : 0.0f) << threshold;
  }
}

TEST(SealedNms, RanksByObjectnessNotByClassScore) {
  sealed_tensor t(1);
  t.add(0.1f, 0, 2, 2, 0.6f, {0.55f});  // weaker objectness, higher class score
  t.add(0, 0, 2, 2, 0.9f, {0.3f});
  auto lists = one_list(t);
  float nms = 0.45f;
  darknet_box_nms_sort(lists, 1, &nms);
  EXPECT_EQ(t.score(1, 0), 0.3f);
  EXPECT_EQ(t.score(0, 0), 0.0f);
  EXPECT_EQ(rows_of(lists[0]), (std::vector<float*>{t.row(1), t.row(0)}));
}

TEST(SealedNms, ThresholdZeroSuppressesAnyOverlapButNotTouchingOrApart) {
  sealed_tensor t(1);
  t.add(0, 0, 2, 2, 0.9f, {0.5f});
  t.add(1.99f, 0, 2, 2, 0.8f, {0.5f});  // a sliver of overlap
  t.add(-2, 0, 2, 2, 0.7f, {0.5f});     // touches the first along an edge
  t.add(10, 10, 2, 2, 0.6f, {0.5f});    // apart
  auto lists = one_list(t);
  float nms = 0.0f;
  darknet_box_nms_sort(lists, 1, &nms);
  EXPECT_EQ(t.score(0, 0), 0.5f);
  EXPECT_EQ(t.score(1, 0), 0.0f);
  EXPECT_EQ(t.score(2, 0), 0.5f);
  EXPECT_EQ(t.score(3, 0), 0.5f);
}

TEST(SealedNms, NegativeThresholdLeavesEachClassToItsBestRankedHolder) {
  sealed_tensor t(2);
  t.add(10, 10, 2, 2, 0.5f, {0.5f, 0.5f});
  t.add(0, 0, 2, 2, 0.9f, {0.0f, 0.5f});  // ranked first, but without class 0
  t.add(50, 50, 2, 2, 0.7f, {0.5f, 0.5f});
  auto lists = one_list(t);
  float nms = -0.5f;
  darknet_box_nms_sort(lists, 2, &nms);
  // Class 0: row 2 is its best-ranked holder, even though no box overlaps.
  EXPECT_EQ(t.score(2, 0), 0.5f);
  EXPECT_EQ(t.score(0, 0), 0.0f);
  // Class 1: row 1 ranks first.
  EXPECT_EQ(t.score(1, 1), 0.5f);
  EXPECT_EQ(t.score(2, 1), 0.0f);
  EXPECT_EQ(t.score(0, 1), 0.0f);
}

TEST(SealedNms, ThresholdOneOrMoreKeepsIdenticalBoxes) {
  for (const float threshold : {1.0f, 1.5f}) {
    sealed_tensor t(1);
    t.add(3, 3, 2, 2, 0.9f, {0.5f});
    t.add(3, 3, 2, 2, 0.8f, {0.5f});
    auto lists = one_list(t);
    darknet_box_nms_sort(lists, 1, std::vector<float>{threshold}.data());
    EXPECT_EQ(t.score(1, 0), 0.5f) << threshold;
  }
}

TEST(SealedNms, SuppressionIsPerClassAndChangesOnlyThatScore) {
  sealed_tensor t(3);
  t.add(0, 0, 2, 2, 0.9f, {0.5f, 0.0f, 0.2f});
  t.add(0.1f, 0, 2, 2, 0.8f, {0.7f, 0.6f, 0.3f});
  const std::vector<float> before = t.values;
  auto lists = one_list(t);
  float nms = 0.5f;
  darknet_box_nms_sort(lists, 3, &nms);
  std::vector<float> expected = before;
  expected[8 + 5 + 0] = 0.0f;     // row 1, class 0: the better-ranked row holds it
  expected[8 + 5 + 2] = 0.0f;     // row 1, class 2
  EXPECT_EQ(t.values, expected);  // class 1 survives: row 0 does not hold it
}

TEST(SealedNms, SuppressedBoxNoLongerSuppressesOthers) {
  // A overlaps B, B overlaps C, A does not overlap C: only B goes.
  sealed_tensor t(1);
  t.add(0, 0, 2, 2, 0.9f, {0.5f});
  t.add(1.5f, 0, 2, 2, 0.8f, {0.5f});
  t.add(3, 0, 2, 2, 0.7f, {0.5f});
  auto lists = one_list(t);
  float nms = 0.1f;
  darknet_box_nms_sort(lists, 1, &nms);
  EXPECT_EQ(t.score(0, 0), 0.5f);
  EXPECT_EQ(t.score(1, 0), 0.0f);
  EXPECT_EQ(t.score(2, 0), 0.5f);
}

TEST(SealedNms, ListsEndInDescendingObjectnessAndTiesKeepRowOrder) {
  sealed_tensor t(2);
  const float objectness[] = {0.3f, 0.9f, 0.5f, 0.9f, 0.1f, 0.5f};
  for (int r = 0; r < 6; ++r) {
    t.add(10.0f * r, 0, 2, 2, objectness[r], {0.5f, 0.5f});
  }
  auto lists = one_list(t);
  float nms = 0.5f;
  darknet_box_nms_sort(lists, 2, &nms);
  EXPECT_EQ(rows_of(lists[0]),
            (std::vector<float*>{t.row(1), t.row(3), t.row(2), t.row(5), t.row(0), t.row(4)}));

  // Of two identical boxes with equal objectness, the earlier row wins.
  sealed_tensor same(1);
  same.add(0, 0, 2, 2, 0.7f, {0.2f});
  same.add(0, 0, 2, 2, 0.7f, {0.9f});
  auto same_lists = one_list(same);
  darknet_box_nms_sort(same_lists, 1, &nms);
  EXPECT_EQ(same.score(0, 0), 0.2f);
  EXPECT_EQ(same.score(1, 0), 0.0f);
}

TEST(SealedNms, NoClassesLeavesListsAsGiven) {
  for (const int classes : {0, -3}) {
    sealed_tensor t(1);
    t.add(0, 0, 2, 2, 0.1f, {0.5f});
    t.add(0, 0, 2, 2, 0.9f, {0.5f});
    const std::vector<float> before = t.values;
    auto lists = one_list(t);
    float nms = 0.0f;
    darknet_box_nms_sort(lists, classes, &nms);
    EXPECT_EQ(rows_of(lists[0]), (std::vector<float*>{t.row(0), t.row(1)}));
    EXPECT_EQ(t.values, before);
  }
}

TEST(SealedNms, EachListUsesItsOwnThresholdAndEmptyListsAreFine) {
  sealed_tensor t(1);
  for (int image = 0; image < 2; ++image) {
    t.add(0, 0, 2, 2, 0.9f, {0.5f});
    t.add(1, 0, 2, 2, 0.8f, {0.5f});  // overlap 1/3 with the row above
  }
  provider_lists lists(4);
  lists[1] = {{t.row(1), 1}, {t.row(0), 1}};
  lists[3] = {{t.row(3), 1}, {t.row(2), 1}};
  std::vector<float> nms{0.0f, 0.5f, 0.0f, 0.25f};
  darknet_box_nms_sort(lists, 1, nms.data());
  EXPECT_TRUE(lists[0].empty());
  EXPECT_TRUE(lists[2].empty());
  EXPECT_EQ(t.score(1, 0), 0.5f);  // 1/3 is not above 0.5
  EXPECT_EQ(t.score(3, 0), 0.0f);  // but is above 0.25
  EXPECT_EQ(rows_of(lists[1]), (std::vector<float*>{t.row(0), t.row(1)}));
}

}  // namespace

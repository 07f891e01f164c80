// Corner form and overlap measures of the sealed path's candidate boxes, and
// the class pick of its emission step.
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <boost/beast/core/span.hpp>
#include <gtest/gtest.h>

#include "step_api/max_index.hpp"
#include "step_api/darknet_box_provider.hpp"

namespace {

using quelt::darknet_box_provider;

// Rows of one class: centre x, centre y, width, height, objectness, score.
struct boxes {
  darknet_box_provider add(float cx, float cy, float w, float h) {
    storage.push_back({cx, cy, w, h, 0.5f, 0.5f});
    return provider(storage.size() - 1);
  }
  darknet_box_provider provider(std::size_t i) {
    return darknet_box_provider{storage[i].data(), 1};
  }
  std::vector<std::vector<float>> storage;
};

TEST(SealedProvider, GetBboxIsTheCornerForm) {
  boxes b;
  const auto box = b.add(10, 20, 4, 6).get_bbox();
  EXPECT_EQ(box.x_min, 8.0f);
  EXPECT_EQ(box.y_min, 17.0f);
  EXPECT_EQ(box.x_max, 12.0f);
  EXPECT_EQ(box.y_max, 23.0f);
}

TEST(SealedProvider, OverlapOfTwoUnitOffsetSquares) {
  boxes b;
  const auto a = b.add(0, 0, 2, 2);
  const auto c = b.add(1, 0, 2, 2);
  EXPECT_EQ(a.iou(c), static_cast<double>(2.0f / 6.0f));
  EXPECT_EQ(a.iom(c), 0.5);
}

TEST(SealedProvider, ApartOrTouchingBoxesDoNotOverlap) {
  boxes b;
  const auto a = b.add(0, 0, 2, 2);
  const auto apart = b.add(5, 5, 2, 2);
  const auto edge = b.add(2, 0, 2, 2);
  const auto corner = b.add(2, 2, 2, 2);
  for (const auto& other : {apart, edge, corner}) {
    EXPECT_EQ(a.iou(other), 0.0);
    EXPECT_EQ(a.iom(other), 0.0);
    EXPECT_EQ(other.iou(a), 0.0);
    EXPECT_EQ(other.iom(a), 0.0);
  }
}

TEST(SealedProvider, BoxWithoutExtentOverlapsNothingNotEvenItself) {
  boxes b;
  const auto big = b.add(0, 0, 10, 10);
  for (const auto& empty : {b.add(0, 0, 0, 4), b.add(0, 0, 4, 0), b.add(0, 0, -3, 4)}) {
    EXPECT_EQ(empty.iou(empty), 0.0);
    EXPECT_EQ(empty.iom(empty), 0.0);
    EXPECT_EQ(empty.iou(big), 0.0);
    EXPECT_EQ(big.iom(empty), 0.0);
  }
}

TEST(SealedProvider, SelfOverlapIsExactlyOneBecauseAreasComeFromCorners) {
  // Far from the origin, (x + w/2) - (x - w/2) is not w: an area taken from
  // the stored size would not match the intersection of the corners.
  const float cx = 1000.1f;
  const float w = 0.3f;
  ASSERT_NE((cx + w * 0.5f) - (cx - w * 0.5f), w);
  boxes b;
  for (const auto& box : {b.add(cx, 2000.7f, w, 0.7f), b.add(3.3f, 7.1f, 1.7f, 2.9f)}) {
    EXPECT_EQ(box.iou(box), 1.0);
    EXPECT_EQ(box.iom(box), 1.0);
  }
}

TEST(SealedProvider, BoxInsideAnotherHasIomOne) {
  boxes b;
  const auto outer = b.add(0, 0, 10, 10);
  const auto inner = b.add(1.3f, -2.1f, 2.2f, 3.7f);
  EXPECT_EQ(outer.iom(inner), 1.0);
  EXPECT_EQ(inner.iom(outer), 1.0);
  EXPECT_LT(outer.iou(inner), 1.0);
}

TEST(SealedProvider, MeasuresAreSymmetric) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> centre(-5, 5);
  std::uniform_real_distribution<float> size(0.01f, 6);
  boxes b;
  for (int k = 0; k < 400; ++k) {
    b.add(centre(random), centre(random), size(random), size(random));
  }
  int overlapping = 0;
  for (std::size_t k = 0; k + 1 < b.storage.size(); k += 2) {
    const auto p = b.provider(k);
    const auto q = b.provider(k + 1);
    EXPECT_EQ(p.iou(q), q.iou(p));
    EXPECT_EQ(p.iom(q), q.iom(p));
    EXPECT_GE(p.iom(q), p.iou(q));
    overlapping += p.iou(q) > 0;
  }
  EXPECT_GT(overlapping, 20);  // the sample does exercise overlapping pairs
}

TEST(SealedProvider, MeasuresReadOnlyTheBox) {
  // Rows shorter than a full record: only the four box values may be read.
  std::vector<float> a{0, 0, 2, 2};
  std::vector<float> c{1, 0, 2, 2};
  const darknet_box_provider p{a.data(), 1000};
  const darknet_box_provider q{c.data(), -7};
  EXPECT_EQ(p.iou(q), static_cast<double>(2.0f / 6.0f));
  EXPECT_EQ(p.iom(q), 0.5);
  EXPECT_EQ(q.get_bbox().x_max, 2.0f);
}

std::int64_t pick(std::vector<float> values) {
  return sorvanta::framework::max_index(boost::beast::span<float>(values.data(), values.size()));
}

TEST(SealedMaxIndex, FirstLargestWinsAndNanNeverDoes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(pick({}), -1);
  EXPECT_EQ(pick({7}), 0);
  EXPECT_EQ(pick({1, 3, 3}), 1);
  EXPECT_EQ(pick({2, nan, 5}), 2);
  EXPECT_EQ(pick({nan, 5}), 0);
  EXPECT_EQ(pick({5, nan}), 0);
  EXPECT_EQ(pick({0.0f, -0.0f}), 0);
  EXPECT_EQ(pick({-0.0f, 0.0f}), 0);
  EXPECT_EQ(pick({-1, -3, -0.5f, -0.5f}), 2);
}

}  // namespace

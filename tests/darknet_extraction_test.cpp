// Box rows from activated layers: thresholds, geometry and row order.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "step_api/box_extraction.hpp"
#include "darknet_test_layer.hpp"

namespace {

using quelt::get_yolo_boxes;
using quelt::test::make_layer;
using rows_t = std::vector<float>;

// A 2 x 1 grid, one anchor slot using the pair {10, 20}, one class; the
// network input is 20 x 40. Column 0 holds a record that no threshold keeps.
struct small_layer {
  explicit small_layer(std::vector<float> record, bool preactivated = false) {
    values = {0.5f, 0.5f, 0.0f, 0.0f, 0.0f, 0.9f};
    values.insert(values.end(), record.begin(), record.end());
    layers.push_back(make_layer(values, 1, 2, 1, mask, 1, anchors, 1.0f, preactivated));
  }
  std::vector<rows_t> extract(float threshold) {
    return get_yolo_boxes(layers, 1, 20, 40, &threshold);
  }
  std::vector<float> values;
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  std::vector<yolo_output> layers;
};

TEST(Extraction, DecodesRawRecordAgainstItsAnchor) {
  small_layer layer({0.5f, 0.5f, 0.0f, 0.0f, 0.8f, 0.9f});
  const auto rows = layer.extract(0.5f);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (rows_t{0.5f, 0.25f, 1.0f, 0.75f, 0.8f, 0.8f * 0.9f}));
  // The kept record's score now holds its thresholded probability.
  EXPECT_EQ(layer.values[11], 0.8f * 0.9f);
  EXPECT_EQ(layer.values[5], 0.9f);  // skipped record: untouched
}

TEST(Extraction, PreactivatedHalfReproducesTheAnchorSize) {
  small_layer layer({0.5f, 0.5f, 0.5f, 0.5f, 0.8f, 0.9f}, true);
  const auto rows = layer.extract(0.5f);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (rows_t{0.5f, 0.25f, 1.0f, 0.75f, 0.8f, 0.8f * 0.9f}));
}

TEST(Extraction, ThresholdsAreStrict) {
  // Objectness equal to the threshold: no row.
  EXPECT_TRUE(small_layer({0.5f, 0.5f, 0.0f, 0.0f, 0.5f, 1.0f}).extract(0.5f)[0].empty());
  // NaN objectness: no row.
  EXPECT_TRUE(small_layer({0.5f, 0.5f, 0.0f, 0.0f, NAN, 1.0f}).extract(0.5f)[0].empty());

  // A class product equal to the threshold is stored as exactly 0.
  std::vector<float> values{0.5f, 0.5f, 0.0f, 0.0f, 0.5f, 0.5f, 0.75f};
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  std::vector<yolo_output> layers{make_layer(values, 1, 1, 1, mask, 2, anchors)};
  float threshold = 0.25f;
  const auto rows = get_yolo_boxes(layers, 2, 20, 40, &threshold);
  ASSERT_EQ(rows[0].size(), 7u);
  EXPECT_EQ(rows[0][5], 0.0f);
  EXPECT_EQ(rows[0][6], 0.375f);
}

TEST(Extraction, RowKeptWhenNoClassPasses) {
  small_layer layer({0.5f, 0.5f, 0.0f, 0.0f, 0.8f, 0.5f});
  const auto rows = layer.extract(0.5f);  // 0.8 x 0.5 = 0.4 does not pass
  ASSERT_EQ(rows[0].size(), 6u);
  EXPECT_EQ(rows[0][4], 0.8f);
  EXPECT_EQ(rows[0][5], 0.0f);
}

TEST(Extraction, NegativeCornersAreKept) {
  // Column 0 with a centre term of 0 and a box as wide as half the input.
  std::vector<float> values{0.0f, 0.0f, 0.0f, 0.0f, 0.9f, 0.9f};
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  std::vector<yolo_output> layers{make_layer(values, 1, 2, 1, mask, 1, anchors)};
  values.resize(12, 0.0f);  // column 1: nothing passes
  layers[0].output.data = values.data();
  float threshold = 0.5f;
  const auto rows = get_yolo_boxes(layers, 1, 20, 40, &threshold);
  ASSERT_EQ(rows[0].size(), 6u);
  EXPECT_EQ(rows[0][0], -0.25f);
  EXPECT_EQ(rows[0][1], -0.25f);
  EXPECT_EQ(rows[0][2], 0.25f);
}

// Two images with identical values: each image's own threshold decides.
TEST(Extraction, ThresholdsApplyPerImage) {
  const std::vector<float> record{0.5f, 0.5f, 0.0f, 0.0f, 0.8f, 0.9f};
  std::vector<float> values = record;
  values.insert(values.end(), record.begin(), record.end());
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  std::vector<yolo_output> layers{make_layer(values, 2, 1, 1, mask, 1, anchors)};
  float thresholds[] = {0.5f, 0.8f};
  const auto rows = get_yolo_boxes(layers, 1, 20, 40, thresholds);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].size(), 6u);
  EXPECT_TRUE(rows[1].empty());
}

// Rows of every layer reach every image, layer by layer, then in grid row,
// grid column and anchor order; a layer without anchor slots adds nothing.
TEST(Extraction, RowOrderAcrossLayersAndImages) {
  // Objectness doubles as a label: image i, layer l, record r -> i + l/10 + r/100 + 0.5.
  auto label = [](int image, int layer, int record) {
    return 0.5f + static_cast<float>(image) * 0.25f + static_cast<float>(layer) * 0.1f +
           static_cast<float>(record) * 0.01f;
  };
  std::vector<std::int32_t> mask0{0, 1};
  std::vector<std::int32_t> mask1{1};
  std::vector<std::int32_t> no_mask;
  std::vector<float> anchors{10.0f, 20.0f, 4.0f, 8.0f};
  std::vector<float> values0;  // 2 x 1 grid, 2 slots: 4 records per image
  std::vector<float> values1;  // 1 x 3 grid, 1 slot: 3 records per image
  for (int image = 0; image < 2; ++image) {
    for (int r = 0; r < 4; ++r) {
      values0.insert(values0.end(), {0.5f, 0.5f, 0.0f, 0.0f, label(image, 0, r), 1.0f});
    }
    for (int r = 0; r < 3; ++r) {
      values1.insert(values1.end(), {0.5f, 0.5f, 0.0f, 0.0f, label(image, 1, r), 1.0f});
    }
  }
  std::vector<float> empty;
  std::vector<yolo_output> layers{
      make_layer(values0, 2, 2, 1, mask0, 1, anchors),
      make_layer(empty, 2, 4, 4, no_mask, 1, anchors),
      make_layer(values1, 2, 1, 3, mask1, 1, anchors),
  };
  float thresholds[] = {0.1f, 0.1f};
  const auto rows = get_yolo_boxes(layers, 1, 20, 40, thresholds);
  ASSERT_EQ(rows.size(), 2u);
  for (int image = 0; image < 2; ++image) {
    ASSERT_EQ(rows[image].size(), 7u * 6u);
    std::vector<float> objectness;
    for (std::size_t r = 0; r < 7; ++r) {
      objectness.push_back(rows[image][r * 6 + 4]);
    }
    EXPECT_EQ(objectness,
              (std::vector<float>{label(image, 0, 0), label(image, 0, 1), label(image, 0, 2),
                                  label(image, 0, 3), label(image, 1, 0), label(image, 1, 1),
                                  label(image, 1, 2)}));
  }
  // Grid position and anchor slot place the boxes: layer 0, column 1, slot 1
  // uses the pair {4, 8}.
  const float* row = rows[0].data() + 3 * 6;
  EXPECT_EQ(row[0], (1.0f + 0.5f) / 2.0f - 0.1f);
  EXPECT_EQ(row[3], 0.5f + 0.1f);
  // Layer 2, grid row 2: y = (2 + 0.5) / 3.
  row = rows[0].data() + 6 * 6;
  EXPECT_EQ(row[1], (2.0f + 0.5f) / 3.0f - 0.1f);
}

TEST(Extraction, NoImagesGiveNoLists) {
  std::vector<float> empty;
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  std::vector<yolo_output> layers{make_layer(empty, 0, 13, 13, mask, 1, anchors)};
  EXPECT_TRUE(get_yolo_boxes(layers, 1, 416, 416, nullptr).empty());
}

}  // namespace

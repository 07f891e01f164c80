// Activation of one layer's anchor records, raw and preactivated.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "step_api/activation.hpp"
#include "framework/exponential.hpp"

namespace {

output_tensor tensor_of(std::vector<float>& values, std::uint64_t batch, std::uint64_t width,
                        std::uint64_t height, std::uint64_t channels) {
  return output_tensor{values.data(), batch, width, height, channels};
}

// One class: a record is 6 floats.
TEST(Activation, RawModeWithUnitScale) {
  std::vector<float> values{0.0f, 0.0f, 0.3f, -0.7f, 0.0f, 2.0f};
  quelt::activate_yolo_output(tensor_of(values, 1, 1, 1, 6), 1, 1, 1.0f, false);
  EXPECT_EQ(values[0], 0.5f);
  EXPECT_EQ(values[1], 0.5f);
  // Size terms are left for extraction.
  EXPECT_EQ(values[2], 0.3f);
  EXPECT_EQ(values[3], -0.7f);
  EXPECT_EQ(values[4], 0.5f);
  EXPECT_EQ(values[5], 1.0f / (sorvanta::framework::rounded_exp(-2.0f) + 1.0f));
}

TEST(Activation, RawModeWithScaleTwoShiftsCentresOnly) {
  std::vector<float> values{0.0f, 100.0f, 0.0f, 0.0f, -100.0f, 100.0f};
  quelt::activate_yolo_output(tensor_of(values, 1, 1, 1, 6), 1, 1, 2.0f, false);
  EXPECT_EQ(values[0], 0.5f);  // sigma(0) x 2 - 0.5
  EXPECT_EQ(values[1], 1.5f);  // sigma saturates at 1: 2 - 0.5
  EXPECT_EQ(values[2], 0.0f);
  // Objectness and scores are not scaled, and extremes are not clamped.
  EXPECT_GE(values[4], 0.0f);
  EXPECT_LT(values[4], 1e-30f);
  EXPECT_EQ(values[5], 1.0f);
}

TEST(Activation, PreactivatedWithUnitScaleChangesNothing) {
  const std::vector<float> before{0.3f, 0.9f, 0.5f, 0.25f, 0.7f, 0.1f,
                                  0.6f, 0.2f, 0.4f, 0.0f,  0.8f, 1.0f};
  std::vector<float> values = before;
  quelt::activate_yolo_output(tensor_of(values, 1, 2, 1, 6), 1, 1, 1.0f, true);
  EXPECT_EQ(std::memcmp(values.data(), before.data(), values.size() * sizeof(float)), 0);
}

TEST(Activation, PreactivatedWithScaleTwoMapsCentres) {
  // Five records, to cover any grouping of records with a remainder.
  std::vector<float> values;
  for (int r = 0; r < 5; ++r) {
    values.insert(values.end(), {0.25f, 0.75f, 0.5f, 0.5f, 0.9f, 0.3f});
  }
  quelt::activate_yolo_output(tensor_of(values, 1, 5, 1, 6), 1, 1, 2.0f, true);
  for (int r = 0; r < 5; ++r) {
    const float* record = values.data() + r * 6;
    EXPECT_EQ(record[0], 0.0f) << r;
    EXPECT_EQ(record[1], 1.0f) << r;
    EXPECT_EQ(record[2], 0.5f) << r;
    EXPECT_EQ(record[3], 0.5f) << r;
    EXPECT_EQ(record[4], 0.9f) << r;
    EXPECT_EQ(record[5], 0.3f) << r;
  }
}

// The walk covers batch x height x width x anchors records of classes + 5
// floats, whatever channels claims; the float after them stays as it was.
TEST(Activation, RecordWalkIgnoresChannels) {
  const int classes = 2;
  const int anchors = 2;
  const std::size_t records = 2 * 3 * 1 * anchors;  // batch 2, width 3, height 1
  std::vector<float> values(records * (classes + 5) + 1, 0.0f);
  values.back() = -7.0f;
  for (std::uint64_t channels : {0u, 1u, 1000u}) {
    std::vector<float> copy = values;
    quelt::activate_yolo_output(tensor_of(copy, 2, 3, 1, channels), anchors, classes, 1.0f, false);
    for (std::size_t r = 0; r < records; ++r) {
      const float* record = copy.data() + r * (classes + 5);
      EXPECT_EQ(record[0], 0.5f) << r;
      EXPECT_EQ(record[2], 0.0f) << r;
      EXPECT_EQ(record[6], 0.5f) << r;
    }
    EXPECT_EQ(copy.back(), -7.0f) << channels;
  }
}

TEST(Activation, LayerWithoutRecordsIsUntouched) {
  std::vector<float> values{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
  const std::vector<float> before = values;
  quelt::activate_yolo_output(tensor_of(values, 0, 1, 1, 6), 1, 1, 2.0f, false);
  quelt::activate_yolo_output(tensor_of(values, 1, 0, 1, 6), 1, 1, 2.0f, false);
  quelt::activate_yolo_output(tensor_of(values, 1, 1, 0, 6), 1, 1, 2.0f, false);
  quelt::activate_yolo_output(tensor_of(values, 1, 1, 1, 0), 0, 1, 2.0f, false);
  EXPECT_EQ(values, before);
  // Nothing to read, so no buffer is needed at all.
  quelt::activate_yolo_output(output_tensor{nullptr, 0, 13, 13, 6}, 1, 1, 2.0f, false);
}

}  // namespace

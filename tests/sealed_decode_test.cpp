// Decoding sealed tensors through the C interface: records, what the caller's
// tensor holds afterwards, and the calls that are refused.
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sealed_test_tensor.hpp"

namespace {

using quelt::test::decode;
using quelt::test::decode_one;
using quelt::test::decode_result;
using quelt::test::sealed_tensor;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

TEST(SealedDecode, WorkedExample) {
  sealed_tensor t(3);
  t.add(100, 50, 20, 10, 0.8f, {0.5f, 0.9f, 0.1f});
  const auto result = decode_one(t, 0.25f, 0.45f, 200, 100);
  ASSERT_EQ(result.failure, "");
  ASSERT_EQ(result.images.size(), 1u);
  ASSERT_EQ(result.images[0].size(), 1u);
  const object_detection& d = result.images[0][0];
  EXPECT_FLOAT_EQ(d.x_min, 0.45f);
  EXPECT_FLOAT_EQ(d.y_min, 0.45f);
  EXPECT_FLOAT_EQ(d.x_max, 0.55f);
  EXPECT_FLOAT_EQ(d.y_max, 0.55f);
  EXPECT_EQ(d.class_id, 1);
  EXPECT_EQ(d.objectness, 0.8f);
  EXPECT_EQ(d.probability, 0.8f * 0.9f);
  // The caller's row now holds the thresholded products.
  EXPECT_EQ(t.values, (std::vector<float>{100, 50, 20, 10, 0.8f, 0.8f * 0.5f, 0.8f * 0.9f, 0}));
  EXPECT_FLOAT_EQ(t.score(0, 0), 0.4f);
  EXPECT_FLOAT_EQ(t.score(0, 1), 0.72f);
}

TEST(SealedDecode, CallersTensorAfterTheCall) {
  sealed_tensor t(2);
  const auto kept = t.add(10, 10, 4, 4, 0.9f, {0.5f, 0.8f});
  const auto at_threshold = t.add(50, 50, 4, 4, 0.5f, {0.9f, 0.9f});    // objectness = t
  const auto product_at = t.add(90, 90, 4, 4, 0.625f, {0.8f, 0.9f});    // 0.625 x 0.8 = t
  const auto all_zero = t.add(130, 130, 4, 4, 0.6f, {0.1f, 0.2f});      // products below t
  const auto suppressed = t.add(10.5f, 10, 4, 4, 0.7f, {0.9f, 0.75f});  // under `kept`
  const auto nan_row = t.add(170, 170, 4, 4, nan, {0.9f, 0.9f});
  const auto low = t.add(210, 210, 4, 4, 0.2f, {0.9f, 0.9f});
  const std::vector<float> before = t.values;
  ASSERT_EQ(0.625f * 0.8f, 0.5f);

  const auto result = decode_one(t, 0.5f, 0.45f, 100, 100);
  ASSERT_EQ(result.failure, "");

  std::vector<float> expected = before;
  auto set = [&](std::int64_t r, float s0, float s1) {
    expected[r * 7 + 5] = s0;
    expected[r * 7 + 6] = s1;
  };
  set(kept, 0.0f, 0.9f * 0.8f);  // class 0: 0.45 does not pass 0.5
  set(product_at, 0.0f, 0.625f * 0.9f);
  set(all_zero, 0.0f, 0.0f);
  set(suppressed, 0.7f * 0.9f, 0.0f);  // class 1 struck by `kept`; class 0 was not held there
  // NaN comparisons make a plain vector comparison useless; compare bitwise.
  ASSERT_EQ(t.values.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_TRUE(t.values[k] == expected[k] || (std::isnan(t.values[k]) && std::isnan(expected[k])))
        << "position " << k << ": " << t.values[k] << " != " << expected[k];
  }
  // Untouched: at_threshold, nan_row and low were no candidates.
  (void)at_threshold;
  (void)nan_row;
  (void)low;

  // Objectness order; the all-zero candidate gives no record; the suppressed
  // box is reported under its best remaining class.
  ASSERT_EQ(result.images[0].size(), 3u);
  EXPECT_EQ(result.images[0][0].class_id, 1);
  EXPECT_EQ(result.images[0][0].probability, 0.9f * 0.8f);
  EXPECT_EQ(result.images[0][1].class_id, 0);
  EXPECT_EQ(result.images[0][1].probability, 0.7f * 0.9f);
  EXPECT_EQ(result.images[0][1].x_min, (10.5f - 2.0f) / 100.0f);
  EXPECT_EQ(result.images[0][2].class_id, 1);
  EXPECT_EQ(result.images[0][2].objectness, 0.625f);
}

TEST(SealedDecode, EqualBestScoresGiveTheLowerClass) {
  sealed_tensor t(4);
  t.add(5, 5, 2, 2, 0.9f, {0.1f, 0.6f, 0.3f, 0.6f});
  const auto result = decode_one(t, 0.1f, 0.5f);
  ASSERT_EQ(result.images.at(0).size(), 1u);
  EXPECT_EQ(result.images[0][0].class_id, 1);
}

TEST(SealedDecode, SuppressionKeepsEqualOverlapAndRanksByObjectness) {
  sealed_tensor t(1);
  t.add(0.1f, 0, 2, 2, 0.6f, {0.99f});  // higher class score, lower objectness
  t.add(0, 0, 2, 2, 0.9f, {0.5f});
  t.add(1, 0, 2, 2, 0.3f, {0.99f});  // overlaps row 1 by exactly 1/3
  const auto result = decode_one(t, 0.1f, 2.0f / 6.0f);
  ASSERT_EQ(result.failure, "");
  ASSERT_EQ(result.images[0].size(), 2u);
  EXPECT_EQ(result.images[0][0].objectness, 0.9f);
  EXPECT_EQ(result.images[0][1].objectness, 0.3f);
  EXPECT_EQ(t.score(0, 0), 0.0f);
}

TEST(SealedDecode, ImagesFollowEachOtherAndUseTheirOwnThresholds) {
  // Image 0 and image 1 hold the same two overlapping boxes, shifted so a
  // record shows which rows it came from.
  sealed_tensor t(1);
  for (const float shift : {0.0f, 100.0f}) {
    t.add(10 + shift, 10, 4, 4, 0.9f, {0.9f});
    t.add(11 + shift, 10, 4, 4, 0.4f, {0.9f});
  }
  const std::vector<float> conf{0.5f, 0.3f};
  const std::vector<float> nms{0.9f, 0.9f};
  auto result = decode(t.values.data(), 2, 2, 1, conf.data(), nms.data(), 1, 1);
  ASSERT_EQ(result.failure, "");
  ASSERT_EQ(result.images.size(), 2u);
  ASSERT_EQ(result.images[0].size(), 1u);  // 0.4 does not pass 0.5
  ASSERT_EQ(result.images[1].size(), 2u);  // but passes 0.3
  EXPECT_EQ(result.images[0][0].x_min, 8.0f);
  EXPECT_EQ(result.images[1][0].x_min, 108.0f);
  EXPECT_EQ(result.images[1][1].x_min, 109.0f);

  // The same rows with a tight overlap threshold for image 1 only.
  const std::vector<float> tight{0.9f, 0.1f};
  sealed_tensor fresh(1);
  for (const float shift : {0.0f, 100.0f}) {
    fresh.add(10 + shift, 10, 4, 4, 0.9f, {0.9f});
    fresh.add(11 + shift, 10, 4, 4, 0.4f, {0.9f});
  }
  const std::vector<float> low_conf{0.3f, 0.3f};
  result = decode(fresh.values.data(), 2, 2, 1, low_conf.data(), tight.data(), 1, 1);
  ASSERT_EQ(result.failure, "");
  EXPECT_EQ(result.images[0].size(), 2u);
  EXPECT_EQ(result.images[1].size(), 1u);
}

TEST(SealedDecode, EmptyBatchesAndEmptyImages) {
  // Nothing is read, so no tensor or thresholds are needed.
  auto result = decode(nullptr, 5, 0, 3, nullptr, nullptr, 320, 320);
  EXPECT_EQ(result.failure, "");
  EXPECT_TRUE(result.images.empty());

  result = decode(nullptr, -5, 0, 3, nullptr, nullptr, 320, 320);
  EXPECT_EQ(result.failure, "");
  EXPECT_TRUE(result.images.empty());

  const std::vector<float> conf(3, 0.5f);
  const std::vector<float> nms(3, 0.5f);
  result = decode(nullptr, 0, 3, 3, conf.data(), nms.data(), 320, 320);
  EXPECT_EQ(result.failure, "");
  ASSERT_EQ(result.images.size(), 3u);
  for (const auto& image : result.images) {
    EXPECT_TRUE(image.empty());
  }
}

TEST(SealedDecode, ZeroInputSizeStillSucceeds) {
  sealed_tensor t(1);
  t.add(10, 10, 4, 4, 0.9f, {0.9f});
  const auto result = decode_one(t, 0.5f, 0.5f, 0, 0);
  ASSERT_EQ(result.failure, "");
  ASSERT_EQ(result.images[0].size(), 1u);
  EXPECT_TRUE(std::isinf(result.images[0][0].x_min));
}

// Refused calls: a failing status, a handle without a batch, the tensor as it was.
class SealedRejection : public ::testing::Test {
 protected:
  void SetUp() override {
    tensor_.add(10, 10, 4, 4, 0.9f, {0.9f, 0.1f});
    tensor_.add(11, 10, 4, 4, 0.8f, {0.9f, 0.1f});
    before_ = tensor_.values;
  }

  void expect_refused(const decode_result& result, const std::string& text) {
    EXPECT_NE(result.failure, "");
    EXPECT_NE(result.failure.find(text), std::string::npos) << result.failure;
    EXPECT_EQ(result.handle.object, nullptr);
    EXPECT_EQ(result.handle.type, detections_batch);
    EXPECT_EQ(tensor_.values, before_);
  }

  static std::string length_error_text() {
    try {
      std::vector<char> values;
      values.reserve(static_cast<std::size_t>(-1));
    } catch (const std::length_error& error) {
      return error.what();
    }
    return "<no length error>";
  }

  sealed_tensor tensor_{2};
  std::vector<float> before_;
  float conf_[2] = {0.5f, 0.5f};
  float nms_[2] = {0.5f, 0.5f};
};

TEST_F(SealedRejection, ClassesBelowOne) {
  for (const std::int32_t classes : {0, -1, -5, -6, std::numeric_limits<std::int32_t>::min()}) {
    expect_refused(decode(tensor_.values.data(), 2, 1, classes, conf_, nms_, 320, 320),
                   "classes must be at least 1, got " + std::to_string(classes));
  }
  // Also when there is nothing to read: the call is wrong either way.
  expect_refused(decode(nullptr, 0, 0, 0, nullptr, nullptr, 320, 320),
                 "classes must be at least 1");
}

TEST_F(SealedRejection, NullPointersThatWouldBeRead) {
  expect_refused(decode(nullptr, 2, 1, 2, conf_, nms_, 320, 320), "sealed_output is null");
  expect_refused(decode(tensor_.values.data(), 2, 1, 2, nullptr, nms_, 320, 320),
                 "conf_thresholds is null");
  expect_refused(decode(tensor_.values.data(), 2, 1, 2, conf_, nullptr, 320, 320),
                 "nms_thresholds is null");
  // Thresholds are needed even when the images have no rows.
  expect_refused(decode(nullptr, 0, 1, 2, conf_, nullptr, 320, 320), "nms_thresholds is null");

  const return_status status = process_yolo_sealed_output_detections(
      tensor_.values.data(), 2, 1, 2, conf_, nms_, 320, 320, nullptr);
  EXPECT_NE(quelt::test::failure_text(status).find("out_handler is null"), std::string::npos);
  EXPECT_EQ(tensor_.values, before_);
}

TEST_F(SealedRejection, NegativeCountsGiveTheStandardLengthError) {
  const std::string text = length_error_text();
  expect_refused(decode(tensor_.values.data(), 2, -1, 2, conf_, nms_, 320, 320), text);
  expect_refused(decode(tensor_.values.data(), -2, 1, 2, conf_, nms_, 320, 320), text);
  // The counts are judged before anything else that is wrong with the call.
  const auto result = decode(nullptr, 2, -1, 0, nullptr, nullptr, 320, 320);
  EXPECT_EQ(result.failure, text);
  expect_refused(decode(nullptr, -2, 3, -4, nullptr, nullptr, 320, 320), text);
}

TEST_F(SealedRejection, CountsBeyondAnyAddressableTensor) {
  const std::int64_t big = std::int64_t{1} << 40;
  expect_refused(decode(tensor_.values.data(), big, big, 2, conf_, nms_, 320, 320),
                 "sealed tensor too large");
  const std::int32_t most = std::numeric_limits<std::int32_t>::max();
  expect_refused(
      decode(tensor_.values.data(), std::int64_t{1} << 32, 1, most, conf_, nms_, 320, 320),
      "sealed tensor too large");
  expect_refused(decode(tensor_.values.data(), std::numeric_limits<std::int64_t>::max(), 1, 2,
                        conf_, nms_, 320, 320),
                 "sealed tensor too large");
}

// quelt_decode_sealed refuses the same calls, negative counts too, in one
// line naming the field, before touching the tensor.
TEST_F(SealedRejection, DetailsEntryNamesTheField) {
  const std::int64_t big = std::int64_t{1} << 40;
  struct call {
    float* tensor;
    std::int64_t boxes;
    std::int64_t batch;
    std::int32_t classes;
    const float* conf;
    const float* nms;
    const char* field;
  };
  float* t = tensor_.values.data();
  for (const call& c : {call{t, 2, -1, 2, conf_, nms_, "batch_size: -1"},
                        call{t, -2, 1, 2, conf_, nms_, "boxes_count: -2"},
                        call{t, 2, 1, 0, conf_, nms_, "classes: 0"},
                        call{nullptr, 2, 1, 2, conf_, nms_, "sealed_output: NULL"},
                        call{t, 2, 1, 2, nullptr, nms_, "conf_thresholds: NULL"},
                        call{t, 2, 1, 2, conf_, nullptr, "nms_thresholds: NULL"},
                        call{t, big, big, 2, conf_, nms_, "boxes_count: "}}) {
    int marker = 0;
    object_handler handler{&marker, static_cast<object_type>(0)};
    const std::string text = quelt::test::failure_text(quelt_decode_sealed(
        c.tensor, c.boxes, c.batch, c.classes, c.conf, c.nms, 320, 320, &handler));
    EXPECT_EQ(text.rfind(std::string("quelt_decode_sealed: ") + c.field, 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    EXPECT_EQ(handler.object, nullptr);
    EXPECT_EQ(handler.type, detections_batch);
    EXPECT_EQ(tensor_.values, before_);
  }
}

}  // namespace

// The Darknet-layer path end to end, through the namespaced driver and the
// exported C entry.
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "darknet/darknet_driver.hpp"
#include "darknet_test_layer.hpp"
#include "support/status.hpp"

namespace {

using quelt::test::failure_text;
using quelt::test::make_layer;

const net_params small_net{20, 40};

// Reads a published batch back through the accessors and destroys it.
std::vector<std::vector<object_detection>> read_batch(object_handler handler) {
  std::vector<std::vector<object_detection>> batch;
  std::uint64_t size = 0;
  EXPECT_EQ(failure_text(detections_batch_size(handler, &size)), "");
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint64_t count = 0;
    EXPECT_EQ(failure_text(detections_batch_detections_count(handler, i, &count)), "");
    std::vector<object_detection> records(count);
    EXPECT_EQ(failure_text(detections_batch_detections_store(handler, i, records.data())), "");
    batch.push_back(records);
  }
  object_handler_destroy(handler);
  return batch;
}

bool same_records(const std::vector<object_detection>& a, const std::vector<object_detection>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(object_detection)) == 0);
}

// Preactivated 2 x 1 grid, one slot with the anchor pair {10, 20}: the record
// in column 1 decodes to the box (0.5, 0.25, 1.0, 0.75) on a 20 x 40 input.
std::vector<float> preactivated_image(float objectness, std::vector<float> scores) {
  std::vector<float> values{0.5f, 0.5f, 0.5f, 0.5f, 0.0f};
  values.resize(values.size() + scores.size(), 0.0f);
  values.insert(values.end(), {0.5f, 0.5f, 0.5f, 0.5f, objectness});
  values.insert(values.end(), scores.begin(), scores.end());
  return values;
}

TEST(DarknetDriver, TiedBestClassGoesToTheLowerIndex) {
  std::vector<float> values = preactivated_image(0.8f, {0.25f, 0.75f, 0.75f});
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  yolo_output layer = make_layer(values, 1, 2, 1, mask, 3, anchors, 1.0f, true);
  float conf = 0.5f;
  float nms = 0.45f;
  const auto result = quelt::process_yolo_detections(&layer, 1, small_net, &conf, &nms);
  ASSERT_EQ(result.size(), 1u);
  ASSERT_EQ(result[0].size(), 1u);
  const object_detection& d = result[0][0];
  EXPECT_EQ(d.x_min, 0.5f);
  EXPECT_EQ(d.y_min, 0.25f);
  EXPECT_EQ(d.x_max, 1.0f);
  EXPECT_EQ(d.y_max, 0.75f);
  EXPECT_EQ(d.class_id, 1);
  EXPECT_EQ(d.objectness, 0.8f);
  EXPECT_EQ(d.probability, 0.8f * 0.75f);
}

// Image 0 keeps its box; image 1 has one whose objectness passes but whose
// classes do not, and must come back as an empty list.
TEST(DarknetDriver, ImagesWithoutRecordsGetEmptyLists) {
  std::vector<float> values = preactivated_image(0.8f, {0.9f});
  const std::vector<float> second = preactivated_image(0.8f, {0.5f});
  values.insert(values.end(), second.begin(), second.end());
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  yolo_output layer = make_layer(values, 2, 2, 1, mask, 1, anchors, 1.0f, true);
  float conf[] = {0.5f, 0.5f};
  float nms[] = {0.45f, 0.45f};
  const auto result = quelt::process_yolo_detections(&layer, 1, small_net, conf, nms);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[0].size(), 1u);
  EXPECT_TRUE(result[1].empty());
}

// Two images with the same values: per-image detection and overlap
// thresholds decide alone.
TEST(DarknetDriver, ThresholdsApplyPerImage) {
  // 2 x 1 grid, preactivated, two boxes overlapping by 1/3 on a 20 x 40 input.
  std::vector<float> image{0.5f, 0.5f, 0.5f, 0.5f, 0.9f, 1.0f,   // centre 0.25, box 0..0.5
                           0.0f, 0.5f, 0.5f, 0.5f, 0.7f, 1.0f};  // centre 0.5, box 0.25..0.75
  std::vector<float> values = image;
  values.insert(values.end(), image.begin(), image.end());
  values.insert(values.end(), image.begin(), image.end());
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  yolo_output layer = make_layer(values, 3, 2, 1, mask, 1, anchors, 1.0f, true);
  float conf[] = {0.5f, 0.5f, 0.8f};
  float nms[] = {0.3f, 0.4f, 0.3f};
  const auto result = quelt::process_yolo_detections(&layer, 1, small_net, conf, nms);
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(result[0].size(), 1u);  // suppressed at 0.3
  EXPECT_EQ(result[1].size(), 2u);  // kept at 0.4
  ASSERT_EQ(result[2].size(), 1u);  // the weaker box is below 0.8
  EXPECT_EQ(result[2][0].objectness, 0.9f);
  // Records come in the order suppression left the rows: best first.
  EXPECT_EQ(result[1][0].objectness, 0.9f);
  EXPECT_EQ(result[1][1].objectness, 0.7f);
}

// A raw two-layer call through the C entry: the same records as the driver,
// and the caller's buffers byte for byte as they were.
TEST(DarknetEntry, MatchesTheDriverAndOnlyReadsTheCallersBuffers) {
  std::mt19937 random(7);
  std::normal_distribution<float> normal(0.0f, 2.0f);
  const int classes = 3;
  std::vector<float> values0(2 * 4 * 4 * 2 * (classes + 5));
  std::vector<float> values1(2 * 2 * 2 * 1 * (classes + 5));
  for (auto* values : {&values0, &values1}) {
    for (float& v : *values) {
      v = normal(random);
    }
  }
  std::vector<std::int32_t> mask0{1, 2};
  std::vector<std::int32_t> mask1{0};
  std::vector<float> anchors{10.0f, 14.0f, 23.0f, 27.0f, 37.0f, 58.0f};
  std::vector<yolo_output> layers{make_layer(values0, 2, 4, 4, mask0, classes, anchors, 1.05f),
                                  make_layer(values1, 2, 2, 2, mask1, classes, anchors)};
  std::vector<float> conf{0.3f, 0.5f};
  std::vector<float> nms{0.45f, 0.3f};

  const auto before = std::make_tuple(values0, values1, mask0, mask1, anchors, conf, nms);
  std::vector<unsigned char> descriptors(layers.size() * sizeof(yolo_output));
  std::memcpy(descriptors.data(), layers.data(), descriptors.size());

  object_handler handler{};
  ASSERT_EQ(failure_text(process_yolo_detections(layers.data(), layers.size(), net_params{64, 64},
                                                 conf.data(), nms.data(), &handler)),
            "");
  EXPECT_EQ(handler.type, detections_batch);
  const auto published = read_batch(handler);

  EXPECT_TRUE(before == std::make_tuple(values0, values1, mask0, mask1, anchors, conf, nms));
  EXPECT_EQ(std::memcmp(descriptors.data(), layers.data(), descriptors.size()), 0);

  const auto direct = quelt::process_yolo_detections(layers.data(), layers.size(),
                                                     net_params{64, 64}, conf.data(), nms.data());
  ASSERT_EQ(published.size(), 2u);
  ASSERT_EQ(direct.size(), 2u);
  EXPECT_FALSE(direct[0].empty());
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(same_records(published[i], direct[i])) << "image " << i;
    for (const auto& d : direct[i]) {
      EXPECT_GT(d.probability, conf[i]);
    }
  }
}

TEST(DarknetEntry, NoImagesGiveAnEmptyBatch) {
  std::vector<float> none;
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  yolo_output layer = make_layer(none, 0, 13, 13, mask, 80, anchors);
  object_handler handler{};
  // With no image, neither threshold array is read.
  ASSERT_EQ(failure_text(process_yolo_detections(&layer, 1, small_net, nullptr, nullptr, &handler)),
            "");
  EXPECT_TRUE(read_batch(handler).empty());
}

// Descriptors that contradict themselves are refused before any decoding,
// with a text that names the field, and the handle is left without a batch.
struct rejection {
  const char* name;
  void (*spoil)(std::vector<yolo_output>& layers, std::vector<std::int32_t>& mask,
                const float*& conf, const float*& nms);
  std::string expected;
  // The field quelt_decode_darknet's one-line text names for the same call.
  std::string field;
};

void PrintTo(const rejection& value, std::ostream* out) {
  *out << value.name;
}

class DarknetRejection : public ::testing::TestWithParam<rejection> {};

TEST_P(DarknetRejection, FailsWithItsTextAndNoBatch) {
  std::vector<float> values0(1 * 2 * 2 * 2 * 7, 0.0f);
  std::vector<float> values1(1 * 1 * 1 * 1 * 7, 0.0f);
  std::vector<std::int32_t> mask0{0, 1};
  std::vector<std::int32_t> mask1{1};
  std::vector<float> anchors{10.0f, 20.0f, 30.0f, 40.0f};
  std::vector<yolo_output> layers{make_layer(values0, 1, 2, 2, mask0, 2, anchors),
                                  make_layer(values1, 1, 1, 1, mask1, 2, anchors)};
  float conf_value = 0.5f;
  float nms_value = 0.5f;
  const float* conf = &conf_value;
  const float* nms = &nms_value;
  // Unspoilt, the call succeeds.
  object_handler handler{};
  ASSERT_EQ(failure_text(process_yolo_detections(layers.data(), layers.size(), small_net, conf, nms,
                                                 &handler)),
            "");
  object_handler_destroy(handler);

  GetParam().spoil(layers, mask1, conf, nms);
  int marker = 0;
  handler = object_handler{&marker, static_cast<object_type>(0)};
  const std::string text = failure_text(process_yolo_detections(
      layers.empty() ? nullptr : layers.data(), layers.size(), small_net, conf, nms, &handler));
  EXPECT_NE(text.find(GetParam().expected), std::string::npos) << text;
  EXPECT_EQ(handler.object, nullptr);
  EXPECT_EQ(handler.type, detections_batch);

  handler = object_handler{&marker, static_cast<object_type>(0)};
  const std::string plain = failure_text(quelt_decode_darknet(
      layers.empty() ? nullptr : layers.data(), layers.size(), small_net, conf, nms, &handler));
  EXPECT_EQ(plain.rfind("quelt_decode_darknet: " + GetParam().field, 0), 0u) << plain;
  EXPECT_EQ(plain.find('\n'), std::string::npos) << plain;
  EXPECT_EQ(handler.object, nullptr);
  EXPECT_EQ(handler.type, detections_batch);
}

const rejection rejections[] = {
    {"no_layers", [](auto& layers, auto&, auto&, auto&) { layers.clear(); },
     "process_yolo_detections: no layers (outputs is null or outputs_count is 0)", "outputs: NULL"},
    {"no_classes", [](auto& layers, auto&, auto&, auto&) { layers[0].classes = 0; },
     "yolo_output[0].classes = 0: at least 1 class is required", "outputs[0].classes: 0"},
    {"classes_disagree",
     [](auto& layers, auto&, auto&, auto&) {
       layers[1].classes = 1;
       layers[1].output.channels = 6;
     },
     "yolo_output[1].classes = 1 differs from yolo_output[0].classes = 2: all layers must share "
     "one class count",
     "outputs[1].classes: 1"},
    {"batch_disagrees", [](auto& layers, auto&, auto&, auto&) { layers[1].output.batch = 2; },
     "yolo_output[1].output.batch = 2 differs from yolo_output[0].output.batch = 1: all layers "
     "must share one image count",
     "outputs[1].output.batch: 2"},
    {"channels_mismatch", [](auto& layers, auto&, auto&, auto&) { layers[1].output.channels = 8; },
     "yolo_output[1].output.channels = 8 does not match mask_size x (classes + 5) = 1 x 7",
     "outputs[1].output.channels: 8"},
    {"mask_size_beyond_int32",
     [](auto& layers, auto&, auto&, auto&) {
       // Consistent with channels, but the anchor count is passed on as int32.
       layers[1].mask_size = (std::uint64_t{1} << 32) + 1;
       layers[1].output.channels = layers[1].mask_size * 7;
       layers[1].output.width = 0;
     },
     "yolo_output[1].mask_size = 4294967297 is beyond the int32 range",
     "outputs[1].mask_size: 4294967297"},
    {"values_overflow",
     [](auto& layers, auto&, auto&, auto&) {
       layers[1].output.width = std::uint64_t{1} << 40;
       layers[1].output.height = std::uint64_t{1} << 30;
     },
     "yolo_output[1]: batch x height x width x channels = 1 x 1073741824 x 1099511627776 x 7 "
     "does not fit in 64 bits",
     "outputs[1].output: 1 x"},
    {"null_data", [](auto& layers, auto&, auto&, auto&) { layers[1].output.data = nullptr; },
     "yolo_output[1].output.data is null, but the layer has 1 records to read",
     "outputs[1].output.data: NULL"},
    {"null_mask", [](auto& layers, auto&, auto&, auto&) { layers[0].mask = nullptr; },
     "yolo_output[0].mask is null, but the layer has 8 records to read", "outputs[0].mask: NULL"},
    {"null_anchors", [](auto& layers, auto&, auto&, auto&) { layers[1].anchors = nullptr; },
     "yolo_output[1].anchors is null, but the layer has 1 records to read",
     "outputs[1].anchors: NULL"},
    {"negative_mask", [](auto&, auto& mask, auto&, auto&) { mask[0] = -1; },
     "yolo_output[1].mask[0] = -1: a mask entry must name an anchor pair (0 or more)",
     "outputs[1].mask[0]: -1"},
    {"null_conf", [](auto&, auto&, auto& conf, auto&) { conf = nullptr; },
     "conf_thresholds is null, but the batch has 1 images", "conf_thresholds: NULL"},
    {"null_nms", [](auto&, auto&, auto&, auto& nms) { nms = nullptr; },
     "nms_thresholds is null, but the batch has 1 images", "nms_thresholds: NULL"},
};

INSTANTIATE_TEST_SUITE_P(Descriptors, DarknetRejection, ::testing::ValuesIn(rejections),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DarknetEntry, NullHandlerIsRefused) {
  std::vector<float> values(7, 0.0f);
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  yolo_output layer = make_layer(values, 1, 1, 1, mask, 2, anchors);
  float threshold = 0.5f;
  const std::string text =
      failure_text(process_yolo_detections(&layer, 1, small_net, &threshold, &threshold, nullptr));
  EXPECT_NE(text.find("out_handler is null"), std::string::npos) << text;
}

// Null pointers of a layer that has nothing to read are fine.
TEST(DarknetEntry, LayerWithoutRecordsNeedsNoBuffers) {
  std::vector<float> values(7, 0.0f);
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  std::vector<float> none;
  std::vector<std::int32_t> no_mask;
  std::vector<float> no_anchors;
  std::vector<yolo_output> layers{make_layer(values, 1, 1, 1, mask, 2, anchors),
                                  make_layer(none, 1, 19, 19, no_mask, 2, no_anchors),
                                  make_layer(none, 1, 0, 0, mask, 2, no_anchors)};
  layers[2].mask = nullptr;
  float threshold = 0.5f;
  object_handler handler{};
  ASSERT_EQ(failure_text(process_yolo_detections(layers.data(), layers.size(), small_net,
                                                 &threshold, &threshold, &handler)),
            "");
  const auto batch = read_batch(handler);
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_TRUE(batch[0].empty());
}

}  // namespace

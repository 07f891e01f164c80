// What a call holds at its peak: the input is never copied, so a large,
// sparse input costs memory in proportion to its candidates only.
#include <vector>

#include <gtest/gtest.h>

#include "darknet_test_layer.hpp"
#include "support/failing_allocator.hpp"
#include "support/status.hpp"

namespace {

// Peak bytes allocated while `work` runs, beyond what was live before.
template <class Work>
std::size_t peak_bytes(Work&& work) {
  quelt::test::arm_allocator(0);
  work();
  return static_cast<std::size_t>(quelt::test::disarm_allocator().peak_bytes);
}

TEST(Memory, DarknetCallHoldsNoCopyOfItsLayers) {
  // A 76 x 76 layer of three 80-class anchors (5.9 MB) with 60 candidates.
  const int classes = 80;
  const std::size_t stride = classes + 5;
  const std::size_t records = 76 * 76 * 3;
  std::vector<float> values(records * stride, -10.0f);
  for (std::size_t r = 0; r < records; r += records / 60) {
    values[r * stride + 4] = 3.0f;
    values[r * stride + 5 + r % classes] = 4.0f;
  }
  std::vector<std::int32_t> mask{0, 1, 2};
  std::vector<float> anchors{10, 13, 16, 30, 33, 23};
  yolo_output layer = quelt::test::make_layer(values, 1, 76, 76, mask, classes, anchors);
  float conf[] = {0.25f};
  float nms[] = {0.45f};
  object_handler handler{};
  const std::size_t peak = peak_bytes([&] {
    EXPECT_EQ(quelt::test::failure_text(
                  process_yolo_detections(&layer, 1, net_params{608, 608}, conf, nms, &handler)),
              "");
  });
  std::uint64_t count = 0;
  EXPECT_EQ(quelt::test::failure_text(detections_batch_detections_count(handler, 0, &count)), "");
  EXPECT_GT(count, 0u);
  object_handler_destroy(handler);
  EXPECT_LT(peak, 64u * 1024u) << "of a " << values.size() * sizeof(float) << "-byte layer";
}

TEST(Memory, SealedCallHoldsLittleBeyondItsCandidates) {
  // 25,200 rows of 80 classes (8.6 MB) with 50 candidates. The call keeps
  // one pointer's worth of address space per row for its candidate list.
  const int classes = 80;
  const std::size_t stride = classes + 5;
  const std::int64_t rows = 25200;
  std::vector<float> tensor(static_cast<std::size_t>(rows) * stride, 0.01f);
  for (std::int64_t r = 0; r < rows; r += rows / 50) {
    float* row = &tensor[static_cast<std::size_t>(r) * stride];
    row[0] = static_cast<float>(r % 640);
    row[1] = static_cast<float>(r / 640 * 16);
    row[2] = 10.0f;
    row[3] = 10.0f;
    row[4] = 0.9f;
    row[5 + r % classes] = 0.9f;
  }
  float conf[] = {0.25f};
  float nms[] = {0.45f};
  object_handler handler{};
  const std::size_t peak = peak_bytes([&] {
    EXPECT_EQ(quelt::test::failure_text(process_yolo_sealed_output_detections(
                  tensor.data(), rows, 1, classes, conf, nms, 640, 640, &handler)),
              "");
  });
  object_handler_destroy(handler);
  EXPECT_LT(peak, static_cast<std::size_t>(rows) * sizeof(float*) + 64u * 1024u)
      << "of a " << tensor.size() * sizeof(float) << "-byte tensor";
}

}  // namespace

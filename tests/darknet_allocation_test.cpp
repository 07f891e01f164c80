// Running out of memory anywhere in a Darknet decoding call: a failure
// status, no batch in the handle, and nothing left allocated.
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "darknet_test_layer.hpp"
#include "support/failing_allocator.hpp"

namespace {

using quelt::test::arm_allocator;
using quelt::test::disarm_allocator;
using quelt::test::make_layer;

TEST(DarknetAllocationFailure, EveryAllocationFailsCleanly) {
  // Two images with a box each, so the sweep reaches every stage.
  std::vector<float> values{0.0f, 0.0f, 0.0f, 0.0f, 3.0f, 3.0f, 3.0f,
                            0.0f, 0.0f, 0.0f, 0.0f, 3.0f, 3.0f, -3.0f};
  std::vector<std::int32_t> mask{0};
  std::vector<float> anchors{10.0f, 20.0f};
  yolo_output layer = make_layer(values, 2, 1, 1, mask, 2, anchors);
  const float conf[] = {0.5f, 0.5f};
  const float nms[] = {0.45f, 0.45f};

  object_handler handler{};
  arm_allocator(0);
  return_status status =
      process_yolo_detections(&layer, 1, net_params{20, 40}, conf, nms, &handler);
  const auto counted = disarm_allocator();
  ASSERT_EQ(status.status_code, 1);
  ASSERT_NE(handler.object, nullptr);
  EXPECT_EQ(counted.live, 4);  // the batch, its list of images and two record lists
  object_handler_destroy(handler);
  ASSERT_GT(counted.allocations, 4u);

  for (std::uint64_t n = 1; n <= counted.allocations; ++n) {
    handler = object_handler{};
    arm_allocator(n);
    status = process_yolo_detections(&layer, 1, net_params{20, 40}, conf, nms, &handler);
    const auto stats = disarm_allocator();
    ASSERT_TRUE(stats.failed) << n;
    ASSERT_EQ(status.status_code, 0) << n;
    EXPECT_EQ(status.message_is_static, 0) << n;
    EXPECT_STREQ(status.message, std::bad_alloc().what()) << n;
    EXPECT_EQ(handler.object, nullptr) << n;
    EXPECT_EQ(handler.type, detections_batch) << n;
    EXPECT_EQ(stats.live, 1) << n;  // only the failure text
    done_return_status(status);
  }
}

}  // namespace

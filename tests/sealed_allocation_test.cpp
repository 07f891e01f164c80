// Running out of memory while decoding a sealed tensor: every failure is a
// clean failing status, with no batch and nothing leaked.
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sealed_test_tensor.hpp"
#include "support/failing_allocator.hpp"

// Let huge requests come back as a failure (std::bad_alloc) instead of ending
// the sanitizer run, so the refusal itself can be checked.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

using quelt::test::arm_allocator;
using quelt::test::disarm_allocator;
using quelt::test::sealed_tensor;

// Two images of three overlapping boxes each, so every step allocates.
sealed_tensor make_tensor() {
  sealed_tensor t(2);
  for (int image = 0; image < 2; ++image) {
    t.add(10, 10, 4, 4, 0.9f, {0.9f, 0.2f});
    t.add(11, 10, 4, 4, 0.8f, {0.9f, 0.7f});
    t.add(40, 10, 4, 4, 0.7f, {0.1f, 0.9f});
  }
  return t;
}

const float conf[2] = {0.3f, 0.3f};
const float nms[2] = {0.45f, 0.45f};

TEST(SealedAllocation, EveryFailedAllocationGivesAFailureWithoutLeaks) {
  sealed_tensor counted_tensor = make_tensor();
  object_handler handle{};
  arm_allocator(0);
  return_status status = process_yolo_sealed_output_detections(counted_tensor.values.data(), 3, 2,
                                                               2, conf, nms, 320, 320, &handle);
  object_handler_destroy(handle);
  const auto counted = disarm_allocator();
  ASSERT_EQ(status.status_code, 1);
  EXPECT_EQ(counted.live, 0);
  ASSERT_GT(counted.allocations, 5u);

  for (std::uint64_t n = 1; n <= counted.allocations; ++n) {
    sealed_tensor t = make_tensor();
    handle = object_handler{reinterpret_cast<void*>(0x1), static_cast<object_type>(0)};
    arm_allocator(n);
    status = process_yolo_sealed_output_detections(t.values.data(), 3, 2, 2, conf, nms, 320, 320,
                                                   &handle);
    const bool failed = status.status_code == 0;
    done_return_status(status);
    object_handler_destroy(handle);
    const auto stats = disarm_allocator();
    EXPECT_EQ(stats.live, 0) << n;
    if (!failed) {
      // Only the sort's scratch buffer may be refused: it then sorts without.
      continue;
    }
    EXPECT_EQ(handle.object, nullptr) << n;
    EXPECT_EQ(handle.type, detections_batch) << n;
  }
}

TEST(SealedAllocation, CountsTooLargeToReserveFailBeforeReading) {
  const std::string expected = std::bad_alloc().what();
  // One row of storage; the counts claim far more. Nothing may be read.
  sealed_tensor t(1);
  t.add(10, 10, 4, 4, 0.9f, {0.9f});
  const std::vector<float> before = t.values;
  const std::vector<float> thresholds(1, 0.5f);
  for (const auto& [boxes, batch] :
       {std::pair<std::int64_t, std::int64_t>{std::int64_t{1} << 56, 1},
        {1, std::int64_t{1} << 50}}) {
    auto result = quelt::test::decode(t.values.data(), boxes, batch, 1, thresholds.data(),
                                      thresholds.data(), 320, 320);
    EXPECT_EQ(result.failure, expected) << boxes << " x " << batch;
    EXPECT_EQ(result.handle.object, nullptr);
    EXPECT_EQ(t.values, before);
  }
}

}  // namespace

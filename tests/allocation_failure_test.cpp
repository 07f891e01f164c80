// Out-of-memory behaviour of the status frame and the accessors.
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/object_handler.hpp"
#include "api/status_frame.hpp"
#include "support/failing_allocator.hpp"

namespace {

using quelt::test::arm_allocator;
using quelt::test::disarm_allocator;

TEST(AllocationFailure, InsideTheWorkGivesFailureWithStandardText) {
  arm_allocator(1);
  return_status status = quelt::api::run_in_status_frame([] { std::vector<int> values(64); });
  const auto stats = disarm_allocator();
  ASSERT_TRUE(stats.failed);
  ASSERT_EQ(status.status_code, 0);
  EXPECT_EQ(status.message_is_static, 0);
  EXPECT_STREQ(status.message, std::bad_alloc().what());
  done_return_status(status);
}

// A wrong-kind accessor call allocates while raising and while rendering its
// text. Failing each of those allocations in turn must give a failure or the
// fatal shape, never a crash, and never leak.
TEST(AllocationFailure, WhileBuildingTheTextGivesFatalShape) {
  const object_handler wrong{nullptr, static_cast<object_type>(0)};
  std::uint64_t size = 0;

  arm_allocator(0);
  return_status normal = detections_batch_size(wrong, &size);
  const auto counted = disarm_allocator();
  ASSERT_EQ(normal.status_code, 0);
  const std::string text = normal.message;
  // The text lives in an array of exactly its length plus the NUL.
  EXPECT_EQ(counted.last_array_size, text.size() + 1);
  EXPECT_EQ(counted.live, 1);  // only the text outlives the call
  done_return_status(normal);
  ASSERT_GT(counted.allocations, 1u);

  int fatal = 0;
  for (std::uint64_t n = 1; n <= counted.allocations; ++n) {
    arm_allocator(n);
    return_status status = detections_batch_size(wrong, &size);
    const auto stats = disarm_allocator();
    ASSERT_TRUE(stats.failed) << n;
    ASSERT_EQ(status.status_code, 0) << n;
    ASSERT_NE(status.message, nullptr) << n;
    if (status.message_is_static == 1) {
      ++fatal;
      EXPECT_STREQ(status.message,
                   "Total fatal error. Cannot construct message of return_status for API.");
      EXPECT_EQ(stats.live, 0) << n;
      done_return_status(status);  // leaves the constant alone
      EXPECT_STREQ(status.message,
                   "Total fatal error. Cannot construct message of return_status for API.");
    } else {
      EXPECT_EQ(stats.live, 1) << n;
      done_return_status(status);
    }
  }
  // The last allocation is the text's array: failing it can only be fatal.
  EXPECT_GE(fatal, 1);

  arm_allocator(counted.allocations);
  return_status last = detections_batch_size(wrong, &size);
  disarm_allocator();
  EXPECT_EQ(last.message_is_static, 1);
  done_return_status(last);
}

}  // namespace

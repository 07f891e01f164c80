// Reading a batch through the C interface: kinds, indices, counts and copies.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/object_handler.hpp"
#include "support/status.hpp"

namespace {

using quelt::detections_list;
using quelt::test::failure_text;

object_detection record(float x, std::int32_t class_id) {
  return object_detection{x, x + 1, x + 2, x + 3, class_id, 0.5f, 0.25f};
}

// A batch put together in test code, published the way a decoding call does.
class DetectionsBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* batch = new detections_list{
        {record(1, 0), record(2, 7), record(3, 2)},
        {},
        {record(4, 1)},
    };
    handler_ = object_handler{batch, detections_batch};
  }
  void TearDown() override { object_handler_destroy(handler_); }

  object_handler handler_{};
};

TEST_F(DetectionsBatch, SizeCountsAndStore) {
  std::uint64_t size = 99;
  EXPECT_EQ(failure_text(detections_batch_size(handler_, &size)), "");
  EXPECT_EQ(size, 3u);

  const std::array<std::uint64_t, 3> expected_counts{3, 0, 1};
  for (std::uint64_t i = 0; i < size; ++i) {
    std::uint64_t count = 99;
    EXPECT_EQ(failure_text(detections_batch_detections_count(handler_, i, &count)), "");
    EXPECT_EQ(count, expected_counts[i]);
  }

  std::vector<object_detection> out(3);
  EXPECT_EQ(failure_text(detections_batch_detections_store(handler_, 0, out.data())), "");
  const auto& image0 = (*static_cast<detections_list*>(handler_.object))[0];
  EXPECT_EQ(std::memcmp(out.data(), image0.data(), 3 * sizeof(object_detection)), 0);
  EXPECT_EQ(out[1].class_id, 7);
}

TEST_F(DetectionsBatch, StoreWritesExactlyCountRecords) {
  // Guard records on both sides of the room the caller provides.
  std::array<unsigned char, 5 * sizeof(object_detection)> bytes;
  bytes.fill(0xAB);
  auto* room = reinterpret_cast<object_detection*>(bytes.data() + sizeof(object_detection));

  EXPECT_EQ(failure_text(detections_batch_detections_store(handler_, 2, room)), "");
  const object_detection expected = record(4, 1);
  EXPECT_EQ(std::memcmp(room, &expected, sizeof expected), 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i < sizeof(object_detection) || i >= 2 * sizeof(object_detection)) {
      ASSERT_EQ(bytes[i], 0xAB) << "byte " << i << " outside the record was written";
    }
  }

  // An empty image writes nothing, not even through a null pointer.
  bytes.fill(0xAB);
  EXPECT_EQ(failure_text(detections_batch_detections_store(handler_, 1, room)), "");
  for (auto byte : bytes) {
    ASSERT_EQ(byte, 0xAB);
  }
  EXPECT_EQ(failure_text(detections_batch_detections_store(handler_, 1, nullptr)), "");
}

TEST_F(DetectionsBatch, IndexAtOrPastSizeIsRejectedWithItsText) {
  std::uint64_t count = 42;
  EXPECT_EQ(failure_text(detections_batch_detections_count(handler_, 2, &count)), "");
  for (std::uint64_t bad : {std::uint64_t{3}, std::uint64_t{5}, ~std::uint64_t{0}}) {
    count = 42;
    const std::string text = failure_text(detections_batch_detections_count(handler_, bad, &count));
    EXPECT_NE(text.find("Invalid batch idx (batch size = 3):" + std::to_string(bad)),
              std::string::npos)
        << text;
    EXPECT_EQ(count, 42u) << "output written on failure";
  }
  object_detection out{};
  const std::string text = failure_text(detections_batch_detections_store(handler_, 3, &out));
  EXPECT_NE(text.find("Invalid batch idx (batch size = 3):3"), std::string::npos) << text;
}

TEST_F(DetectionsBatch, KindIsCheckedBeforeIndex) {
  for (std::int32_t kind : {0, 2, -1}) {
    object_handler wrong{handler_.object, static_cast<object_type>(kind)};
    std::uint64_t value = 42;
    for (const std::string& text :
         {failure_text(detections_batch_size(wrong, &value)),
          failure_text(detections_batch_detections_count(wrong, 7, &value)),
          failure_text(detections_batch_detections_store(wrong, 7, nullptr))}) {
      EXPECT_NE(text.find("Failed to check object_handler type, expected:detections_batch, "
                          "got:unknown"),
                std::string::npos)
          << text;
      EXPECT_EQ(text.find("Invalid batch idx"), std::string::npos) << text;
    }
    EXPECT_EQ(value, 42u);
  }
}

TEST_F(DetectionsBatch, NullOutputPointersAreRejected) {
  EXPECT_NE(failure_text(detections_batch_size(handler_, nullptr)).find("out_size is null"),
            std::string::npos);
  EXPECT_NE(failure_text(detections_batch_detections_count(handler_, 0, nullptr))
                .find("out_count is null"),
            std::string::npos);
  EXPECT_NE(failure_text(detections_batch_detections_store(handler_, 0, nullptr))
                .find("out_detections is null"),
            std::string::npos);
}

TEST(DetectionsBatchHandle, EmptyBatchRejectsEveryIndex) {
  object_handler handler{new detections_list{}, detections_batch};
  std::uint64_t size = 9;
  EXPECT_EQ(failure_text(detections_batch_size(handler, &size)), "");
  EXPECT_EQ(size, 0u);
  std::uint64_t count = 9;
  EXPECT_NE(failure_text(detections_batch_detections_count(handler, 0, &count))
                .find("Invalid batch idx (batch size = 0):0"),
            std::string::npos);
  object_handler_destroy(handler);
}

TEST(DetectionsBatchHandle, HandleWithoutBatchIsRejectedNotDereferenced) {
  const object_handler empty{nullptr, detections_batch};
  std::uint64_t value = 9;
  for (const std::string& text :
       {failure_text(detections_batch_size(empty, &value)),
        failure_text(detections_batch_detections_count(empty, 0, &value)),
        failure_text(detections_batch_detections_store(empty, 0, nullptr))}) {
    EXPECT_NE(text.find("holds no detections_batch"), std::string::npos) << text;
  }
  EXPECT_EQ(value, 9u);
  object_handler_destroy(empty);  // nothing to release
}

TEST(DetectionsBatchHandle, DestroyIgnoresOtherKindsAndLeavesHandleAlone) {
  detections_list not_owned{{record(1, 0)}};
  object_handler other{&not_owned, static_cast<object_type>(0)};
  object_handler_destroy(other);  // a wrong kind must not be freed
  EXPECT_EQ(other.object, &not_owned);
  EXPECT_EQ(not_owned.size(), 1u);
}

TEST(TypeNames, OnlyTheBatchKindsHaveNames) {
  EXPECT_STREQ(object_type_str(detections_batch), "detections_batch");
  EXPECT_STREQ(object_type_str(quelt_details_batch), "quelt_details_batch");
  EXPECT_STREQ(object_type_str(static_cast<object_type>(0)), "unknown");
  EXPECT_STREQ(object_type_str(static_cast<object_type>(2)), "unknown");
}

}  // namespace

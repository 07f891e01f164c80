// Faults the fuzz targets found, each as the smallest call that shows it.
// The inputs themselves stay in fuzz/regressions/ and are replayed there.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "sealed_test_tensor.hpp"

namespace {

// Images without rows may come with no tensor at all; the call must not
// offset the null pointer to find rows that are not there (UBSan: "applying
// non-zero offset to null pointer").
TEST(FuzzFindings, SealedNullTensorWithoutRows) {
  const std::vector<float> conf{0.25f, 0.25f};
  const std::vector<float> nms{0.45f, 0.45f};
  for (const std::int32_t classes : {1, 95}) {
    auto result = quelt::test::decode(nullptr, 0, 2, classes, conf.data(), nms.data(), 320, 320);
    EXPECT_EQ(result.failure, "") << classes;
    ASSERT_EQ(result.images.size(), 2u) << classes;
    EXPECT_TRUE(result.images[0].empty());
    EXPECT_TRUE(result.images[1].empty());
  }
}

}  // namespace

// Decoding the outputs of a real trained network, image by image and as one
// batch, checked against what must hold and against a peer decoder's answer.
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fixtures.hpp"
#include "support/status.hpp"

namespace {

using quelt::test::corner_iou;
using quelt::test::failure_text;
using quelt::test::fixture_set;
using detections = std::vector<object_detection>;

constexpr float conf_threshold = 0.25f;
constexpr float nms_threshold = 0.45f;

class RealDarknetOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = quelt::test::load_real_fixtures();
    if (!loaded) {
      GTEST_SKIP() << "real network fixtures not found in " << quelt::test::real_fixture_dir();
    }
    set_ = std::move(*loaded);
    layers_ = std::make_unique<quelt::test::fixture_layers>(set_);
  }

  // Decodes `count` images starting at image `first` through the C entry.
  std::vector<detections> decode(std::size_t first, std::size_t count) {
    const std::vector<yolo_output> outputs = layers_->outputs(first, count);
    const std::vector<float> conf(count, conf_threshold);
    const std::vector<float> nms(count, nms_threshold);
    object_handler handler{};
    EXPECT_EQ(failure_text(process_yolo_detections(outputs.data(), outputs.size(),
                                                   net_params{set_.net_width, set_.net_height},
                                                   conf.data(), nms.data(), &handler)),
              "");
    std::vector<detections> result;
    std::uint64_t size = 0;
    EXPECT_EQ(failure_text(detections_batch_size(handler, &size)), "");
    for (std::uint64_t i = 0; i < size; ++i) {
      std::uint64_t n = 0;
      EXPECT_EQ(failure_text(detections_batch_detections_count(handler, i, &n)), "");
      detections records(n);
      EXPECT_EQ(failure_text(detections_batch_detections_store(handler, i, records.data())), "");
      result.push_back(std::move(records));
    }
    object_handler_destroy(handler);
    return result;
  }

  std::string class_name(int id) const {
    return id >= 0 && static_cast<std::size_t>(id) < set_.class_names.size() ? set_.class_names[id]
                                                                             : std::to_string(id);
  }

  fixture_set set_;
  std::unique_ptr<quelt::test::fixture_layers> layers_;
};

std::string box_text(float x0, float y0, float x1, float y1) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(3) << "(" << x0 << ", " << y0 << ", " << x1 << ", " << y1
       << ")";
  return text.str();
}

TEST_F(RealDarknetOutput, DecodesEachImageAsThePeerDoes) {
  const auto batch = decode(0, set_.images.size());
  ASSERT_EQ(batch.size(), set_.images.size());

  for (std::size_t i = 0; i < set_.images.size(); ++i) {
    const auto& image = set_.images[i];
    const auto single = decode(i, 1);
    ASSERT_EQ(single.size(), 1u);
    const detections& ours = single[0];
    // A batch decodes each image exactly as a call of its own.
    ASSERT_EQ(batch[i].size(), ours.size()) << image.name;
    EXPECT_EQ(std::memcmp(batch[i].data(), ours.data(), ours.size() * sizeof(object_detection)), 0)
        << image.name;

    std::cout << "[ " << image.name << " ] ours (" << ours.size() << "):\n";
    for (const auto& d : ours) {
      std::cout << "    " << std::setw(14) << class_name(d.class_id) << "  p " << std::fixed
                << std::setprecision(3) << d.probability << "  "
                << box_text(d.x_min, d.y_min, d.x_max, d.y_max) << "\n";
      EXPECT_GT(d.probability, conf_threshold) << image.name;
    }

    for (std::size_t a = 0; a < ours.size(); ++a) {
      for (std::size_t b = a + 1; b < ours.size(); ++b) {
        if (ours[a].class_id != ours[b].class_id) {
          continue;
        }
        const double iou = corner_iou(ours[a].x_min, ours[a].y_min, ours[a].x_max, ours[a].y_max,
                                      ours[b].x_min, ours[b].y_min, ours[b].x_max, ours[b].y_max);
        EXPECT_LT(iou, nms_threshold + 1e-6) << image.name << " records " << a << ", " << b;
      }
    }

    std::cout << "  peer (" << image.peers.size() << "):\n";
    for (const auto& peer : image.peers) {
      double best_iou = 0.0;
      for (const auto& d : ours) {
        if (d.class_id == peer.class_id) {
          best_iou = std::max(best_iou, corner_iou(peer.x_min, peer.y_min, peer.x_max, peer.y_max,
                                                   d.x_min, d.y_min, d.x_max, d.y_max));
        }
      }
      std::cout << "    " << std::setw(14) << class_name(peer.class_id) << "  p " << std::fixed
                << std::setprecision(3) << peer.probability << "  "
                << box_text(peer.x_min, peer.y_min, peer.x_max, peer.y_max)
                << "  best IoU with ours " << best_iou << "\n";
      if (peer.probability >= 0.5f) {
        EXPECT_GE(best_iou, 0.5) << image.name << ": peer " << class_name(peer.class_id)
                                 << " with p " << peer.probability << " not found";
      }
    }
  }
}

}  // namespace

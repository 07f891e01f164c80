// Decoding the sealed outputs of a real trained network, image by image and as
// one batch, checked against what must hold and against a peer decoder.
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sealed_test_tensor.hpp"
#include "support/fixtures.hpp"
#include "npy/npy.hpp"

namespace {

using quelt::test::corner_iou;
using detections = std::vector<object_detection>;

constexpr float conf_threshold = 0.25f;
constexpr float nms_threshold = 0.45f;

double iou(const object_detection& a, const object_detection& b) {
  return corner_iou(a.x_min, a.y_min, a.x_max, a.y_max, b.x_min, b.y_min, b.x_max, b.y_max);
}

class RealSealedOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = quelt::test::load_real_fixtures();
    if (!loaded) {
      GTEST_SKIP() << "real network fixtures not found in " << quelt::test::real_fixture_dir();
    }
    set_ = std::move(*loaded);
    for (const auto& image : set_.images) {
      const auto array = quelt::npy::read_npy(image.sealed_file);
      ASSERT_EQ(array.shape.size(), 3u) << image.sealed_file;
      ASSERT_EQ(array.shape[0], 1u) << image.sealed_file;
      ASSERT_EQ(array.shape[2], static_cast<std::size_t>(set_.layers.at(0).classes) + 5);
      rows_ = static_cast<std::int64_t>(array.shape[1]);
      tensors_.push_back(array.values);
    }
    ASSERT_FALSE(tensors_.empty());
  }

  // Decodes copies of the given images as one batch: every call rewrites its
  // tensor, so each starts from the file's values.
  std::vector<detections> decode(std::size_t first, std::size_t count) {
    std::vector<float> batch;
    for (std::size_t i = first; i < first + count; ++i) {
      batch.insert(batch.end(), tensors_[i].begin(), tensors_[i].end());
    }
    const std::vector<float> conf(count, conf_threshold);
    const std::vector<float> nms(count, nms_threshold);
    auto result = quelt::test::decode(batch.data(), rows_, static_cast<std::int64_t>(count),
                                      set_.layers[0].classes, conf.data(), nms.data(),
                                      set_.net_width, set_.net_height);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.images.size(), count);
    return result.images;
  }

  std::string name_of(int class_id) const {
    return class_id >= 0 && static_cast<std::size_t>(class_id) < set_.class_names.size()
               ? set_.class_names[class_id]
               : std::to_string(class_id);
  }

  quelt::test::fixture_set set_;
  std::vector<std::vector<float>> tensors_;
  std::int64_t rows_ = 0;
};

TEST_F(RealSealedOutput, DetectionsHoldAndMatchThePeer) {
  for (std::size_t i = 0; i < set_.images.size(); ++i) {
    const auto& image = set_.images[i];
    const detections found = decode(i, 1).at(0);
    EXPECT_FALSE(found.empty()) << image.name;

    for (std::size_t a = 0; a < found.size(); ++a) {
      EXPECT_GT(found[a].probability, conf_threshold) << image.name;
      if (a > 0) {
        EXPECT_GE(found[a - 1].objectness, found[a].objectness) << image.name;
      }
      for (std::size_t b = a + 1; b < found.size(); ++b) {
        if (found[a].class_id == found[b].class_id) {
          EXPECT_LE(iou(found[a], found[b]), nms_threshold)
              << image.name << ": records " << a << " and " << b;
        }
      }
    }

    // The peer differs by design (it ranks by class score and keeps every
    // class of a box), so only its strongest detection must be found here.
    std::cout << image.name << ": " << found.size() << " records, peer has " << image.peers.size()
              << "\n";
    std::cout << "  peer class       prob    best match here (same class)     iou\n";
    const quelt::test::peer_detection* strongest = nullptr;
    double strongest_iou = 0;
    for (const auto& peer : image.peers) {
      const object_detection as_record{peer.x_min,    peer.y_min, peer.x_max,      peer.y_max,
                                       peer.class_id, 0,          peer.probability};
      const object_detection* match = nullptr;
      double best = 0;
      for (const auto& record : found) {
        if (record.class_id == peer.class_id && iou(record, as_record) > best) {
          best = iou(record, as_record);
          match = &record;
        }
      }
      std::cout << "  " << std::left << std::setw(16) << name_of(peer.class_id) << std::right
                << std::fixed << std::setprecision(3) << std::setw(6) << peer.probability;
      if (match != nullptr) {
        std::cout << "    " << std::setw(6) << match->probability << " at (" << match->x_min << ", "
                  << match->y_min << ", " << match->x_max << ", " << match->y_max << ")  " << best
                  << "\n";
      } else {
        std::cout << "    (none)\n";
      }
      if (strongest == nullptr || peer.probability > strongest->probability) {
        strongest = &peer;
        strongest_iou = best;
      }
    }
    std::cout.unsetf(std::ios::fixed);
    ASSERT_NE(strongest, nullptr) << image.name << " has no peer detections";
    EXPECT_GE(strongest_iou, 0.5) << image.name << ": strongest peer detection, "
                                  << name_of(strongest->class_id) << " " << strongest->probability
                                  << ", not found";
  }
}

TEST_F(RealSealedOutput, BatchGivesEachImageItsSingleImageList) {
  const auto batch = decode(0, tensors_.size());
  ASSERT_EQ(batch.size(), tensors_.size());
  for (std::size_t i = 0; i < tensors_.size(); ++i) {
    const detections single = decode(i, 1).at(0);
    ASSERT_EQ(batch[i].size(), single.size()) << set_.images[i].name;
    EXPECT_EQ(std::memcmp(batch[i].data(), single.data(), single.size() * sizeof(object_detection)),
              0)
        << set_.images[i].name;
  }
}

}  // namespace

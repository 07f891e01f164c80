// Decoding the sealed outputs of a real trained network, image by image and as
// one batch, checked against what must hold and against a peer decoder; and
// the same candidates rewritten into every layout quelt_decode reads.
#include <algorithm>
#include <cmath>
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

// One image through quelt_decode.
detections decode_layout(const quelt_layout& layout, const quelt_decode_options& options) {
  object_handler handle{};
  auto result = quelt::test::read_back(quelt_decode(&layout, &options, &handle), handle);
  EXPECT_EQ(result.failure, "");
  return result.images.size() == 1 ? result.images[0] : detections{};
}

// Byte for byte, except the objectness when `objectness_one` (the layouts
// without one give 1).
void expect_records(const detections& expected, const detections& got, bool objectness_one,
                    const std::string& what) {
  ASSERT_EQ(got.size(), expected.size()) << what;
  for (std::size_t r = 0; r < got.size(); ++r) {
    object_detection want = expected[r];
    if (objectness_one) {
      want.objectness = 1.0f;
    }
    EXPECT_EQ(std::memcmp(&got[r], &want, sizeof want), 0) << what << ": record " << r;
  }
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

// The sealed rows rewritten into the other layouts: anchor-free columns and
// separate tensors (objectness folded into the class scores, as those exports
// carry it), and logits. Each must give the row form's records.
TEST_F(RealSealedOutput, EveryLayoutGivesTheRowFormsRecords) {
  const std::int32_t classes = set_.layers[0].classes;
  const auto n = static_cast<std::size_t>(rows_);
  const auto k = static_cast<std::size_t>(classes);
  const std::size_t row = k + 5;
  for (std::size_t i = 0; i < tensors_.size(); ++i) {
    const std::vector<float>& rows = tensors_[i];
    std::vector<float> columns((4 + k) * n), boxes(4 * n), by_candidate(k * n), by_class(k * n);
    std::vector<float> logits(rows.size()), activated(rows.size());
    for (std::size_t r = 0; r < n; ++r) {
      const float* source = &rows[r * row];
      for (std::size_t c = 0; c < 4; ++c) {
        columns[c * n + r] = boxes[r * 4 + c] = source[c];
      }
      for (std::size_t j = 0; j < k; ++j) {
        const float folded = source[4] * source[5 + j];
        columns[(4 + j) * n + r] = by_candidate[r * k + j] = by_class[j * n + r] = folded;
      }
      for (std::size_t c = 0; c < row; ++c) {
        const double p = source[c];
        logits[r * row + c] = c < 4 ? source[c] : static_cast<float>(std::log(p / (1 - p)));
        // The logistic exactly as the library evaluates it.
        activated[r * row + c] = c < 4 ? source[c] : 1.0f / (std::exp(-logits[r * row + c]) + 1.0f);
      }
    }

    quelt_decode_options options;
    quelt_decode_options_init(&options);
    options.network_width = set_.net_width;
    options.network_height = set_.net_height;
    const float score = conf_threshold;
    const float overlap = nms_threshold;
    options.score_thresholds = &score;
    options.iou_thresholds = &overlap;
    for (int variant = 0; variant < 3; ++variant) {
      options.multi_label = variant == 1;
      options.agnostic = variant == 2;
      options.max_detections = variant == 2 ? 3 : 0;
      const std::string what = set_.images[i].name + (variant == 0   ? ""
                                                      : variant == 1 ? " multi-label"
                                                                     : " agnostic");
      const std::int64_t count = rows_;
      quelt_layout layout;
      quelt_layout_rows(&layout, rows.data(), 1, count, classes, 1);
      const detections expected = decode_layout(layout, options);
      EXPECT_FALSE(expected.empty()) << what;

      quelt_layout_columns(&layout, columns.data(), 1, count, classes);
      expect_records(expected, decode_layout(layout, options), true, what + " columns");
      quelt_layout_separate(&layout, boxes.data(), by_candidate.data(), 1, count, classes, 0);
      expect_records(expected, decode_layout(layout, options), true, what + " separate");
      quelt_layout_separate(&layout, boxes.data(), by_class.data(), 1, count, classes, 1);
      expect_records(expected, decode_layout(layout, options), true, what + " by class");

      quelt_layout_rows(&layout, activated.data(), 1, count, classes, 1);
      const detections from_probabilities = decode_layout(layout, options);
      quelt_layout_rows(&layout, logits.data(), 1, count, classes, 1);
      layout.score_coding = QUELT_SCORES_LOGITS;
      expect_records(from_probabilities, decode_layout(layout, options), false, what + " logits");
      EXPECT_FALSE(from_probabilities.empty()) << what << " logits";
    }
  }
}

// The network saw each photo stretched to its input. A letterboxed input
// would show every object where the rewritten rows below put it, so mapping
// those back must find the objects where the peer decoder found them, and so
// must mapping the rows as they are with the stretch.
TEST_F(RealSealedOutput, BoxesMappedToThePhotosLandOnThePeersObjects) {
  const std::int32_t classes = set_.layers[0].classes;
  const auto row = static_cast<std::size_t>(classes) + 5;
  for (std::size_t i = 0; i < tensors_.size(); ++i) {
    const auto& image = set_.images[i];
    ASSERT_GT(image.image_width, 0) << image.image_file << ": size unreadable";
    const auto width = static_cast<float>(image.image_width);
    const auto height = static_cast<float>(image.image_height);
    const quelt_image_geometry stretched =
        quelt_geometry_stretch(set_.net_width, set_.net_height, width, height);
    const quelt_image_geometry letterboxed =
        quelt_geometry_letterbox(set_.net_width, set_.net_height, width, height);
    std::vector<float> rows = tensors_[i];
    for (std::size_t r = 0; r < rows.size(); r += row) {
      rows[r] =
          (rows[r] - stretched.pad_x) / stretched.scale_x * letterboxed.scale_x + letterboxed.pad_x;
      rows[r + 1] = (rows[r + 1] - stretched.pad_y) / stretched.scale_y * letterboxed.scale_y +
                    letterboxed.pad_y;
      rows[r + 2] = rows[r + 2] / stretched.scale_x * letterboxed.scale_x;
      rows[r + 3] = rows[r + 3] / stretched.scale_y * letterboxed.scale_y;
    }

    quelt_decode_options options;
    quelt_decode_options_init(&options);
    options.network_width = set_.net_width;
    options.network_height = set_.net_height;
    const float score = conf_threshold;
    const float overlap = nms_threshold;
    options.score_thresholds = &score;
    options.iou_thresholds = &overlap;
    for (const bool letterbox : {true, false}) {
      const std::string what = image.name + (letterbox ? " letterboxed" : " stretched");
      quelt_layout layout;
      quelt_layout_rows(&layout, letterbox ? rows.data() : tensors_[i].data(), 1, rows_, classes,
                        1);
      options.geometry = letterbox ? &letterboxed : &stretched;
      const detections found = decode_layout(layout, options);
      EXPECT_FALSE(found.empty()) << what;
      for (const object_detection& d : found) {
        EXPECT_TRUE(d.x_min >= 0 && d.y_min >= 0 && d.x_max <= width && d.y_max <= height)
            << what << ": box outside the photo";
      }
      for (const auto& peer : image.peers) {
        if (peer.probability < 0.5f) {
          continue;
        }
        double best = 0;
        for (const object_detection& d : found) {
          if (d.class_id == peer.class_id) {
            best = std::max(
                best, corner_iou(d.x_min, d.y_min, d.x_max, d.y_max, peer.x_min * width,
                                 peer.y_min * height, peer.x_max * width, peer.y_max * height));
          }
        }
        EXPECT_GE(best, 0.98) << what << ": peer " << name_of(peer.class_id) << " "
                              << peer.probability << " not found";
      }
    }
  }
}

}  // namespace

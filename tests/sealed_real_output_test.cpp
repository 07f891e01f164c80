// Decoding the sealed outputs of a real trained network, image by image and as
// one batch, checked against what must hold and against a peer decoder; and
// the same candidates rewritten into every layout quelt_decode reads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

// The same records with scores equal to rounding: what logits give, against
// the probabilities they were made from.
void expect_close_scores(const detections& expected, const detections& got,
                         const std::string& what) {
  ASSERT_EQ(got.size(), expected.size()) << what;
  for (std::size_t r = 0; r < got.size(); ++r) {
    const object_detection& a = got[r];
    const object_detection& b = expected[r];
    EXPECT_TRUE(a.x_min == b.x_min && a.y_min == b.y_min && a.x_max == b.x_max &&
                a.y_max == b.y_max && a.class_id == b.class_id)
        << what << ": record " << r;
    EXPECT_NEAR(a.objectness, b.objectness, 1e-6f * b.objectness) << what << ": record " << r;
    EXPECT_NEAR(a.probability, b.probability, 1e-6f * b.probability) << what << ": record " << r;
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

// ---------------------------------------------------------------- heads --

// The entry for strided predictions reads the same network output in every
// layout it accepts: the rows as they are, the rows transposed into columns,
// the anchor-free form (objectness folded into the class scores, read as
// columns or as separate tensors both ways). All give the same records, and
// logits, to rounding, what their probabilities give; without an
// objectness view the records carry objectness 1. Mapped to a picture by
// stretching, the strongest peer detection is found there.
TEST_F(RealSealedOutput, HeadsLayoutsAgreeAndMapToThePicture) {
  const std::int32_t classes = set_.layers[0].classes;
  const std::int64_t n = rows_;
  const std::int64_t row = classes + 5;
  for (std::size_t i = 0; i < set_.images.size(); ++i) {
    const std::vector<float>& rows = tensors_[i];
    std::vector<float> columns(rows.size());       // (85, n)
    std::vector<float> folded((4 + classes) * n);  // (4 + classes, n), no objectness
    std::vector<float> boxes(4 * n);               // (n, 4)
    std::vector<float> by_candidate(classes * n);  // (n, classes), no objectness
    std::vector<float> logits(rows.size());        // the rows' probabilities as logits
    for (std::int64_t r = 0; r < n; ++r) {
      for (std::int64_t c = 0; c < row; ++c) {
        columns[c * n + r] = rows[r * row + c];
      }
      for (std::int64_t c = 0; c < 4; ++c) {
        folded[c * n + r] = rows[r * row + c];
        boxes[r * 4 + c] = rows[r * row + c];
      }
      for (std::int64_t k = 0; k < classes; ++k) {
        folded[(4 + k) * n + r] = rows[r * row + 4] * rows[r * row + 5 + k];
        by_candidate[r * classes + k] = folded[(4 + k) * n + r];
      }
      for (std::int64_t c = 0; c < row; ++c) {
        const float value = rows[r * row + c];
        const double p = value;
        logits[r * row + c] = c < 4 ? value : static_cast<float>(std::log(p / (1 - p)));
      }
    }
    quelt_layout as_rows;
    quelt_layout_rows(&as_rows, rows.data(), 1, n, classes, 1);
    quelt_layout as_columns = as_rows;
    as_columns.boxes = quelt_view{columns.data(), row * n, 1, n};
    as_columns.objectness = quelt_view{columns.data() + 4 * n, row * n, 1, n};
    as_columns.scores = quelt_view{columns.data() + 5 * n, row * n, 1, n};
    quelt_layout as_anchor_free;
    quelt_layout_columns(&as_anchor_free, folded.data(), 1, n, classes);
    quelt_layout as_separate;
    quelt_layout_separate(&as_separate, boxes.data(), folded.data() + 4 * n, 1, n, classes, 1);
    quelt_layout as_by_candidate;
    quelt_layout_separate(&as_by_candidate, boxes.data(), by_candidate.data(), 1, n, classes, 0);
    quelt_layout as_logits;
    quelt_layout_rows(&as_logits, logits.data(), 1, n, classes, 1);
    as_logits.score_coding = QUELT_SCORES_LOGITS;

    const float scores[] = {conf_threshold};
    const float ious[] = {nms_threshold};
    // Best class, multi-label, and agnostic with a cap.
    for (int mode = 0; mode < 3; ++mode) {
      quelt_decode_options options;
      quelt_decode_options_init(&options);
      options.network_width = set_.net_width;
      options.network_height = set_.net_height;
      options.multi_label = mode == 1;
      options.agnostic = mode == 2;
      options.max_detections = mode == 2 ? 3 : 0;
      options.score_thresholds = scores;
      options.iou_thresholds = ious;
      auto run = [&](const quelt_layout& layout) {
        object_handler handler{};
        return_status status = quelt_decode(&layout, &options, &handler);
        EXPECT_EQ(status.status_code, 1);
        done_return_status(status);
        std::uint64_t count = 0;
        detections_batch_detections_count(handler, 0, &count);
        detections found(count);
        detections_batch_detections_store(handler, 0, found.data());
        object_handler_destroy(handler);
        return found;
      };
      const detections expected = run(as_rows);
      EXPECT_FALSE(expected.empty()) << set_.images[i].name;
      auto same = [&](detections got, bool objectness_one, const char* layout) {
        ASSERT_EQ(got.size(), expected.size()) << set_.images[i].name << ", " << layout;
        for (std::size_t k = 0; k < got.size(); ++k) {
          object_detection want = expected[k];
          want.objectness = objectness_one ? 1.0f : want.objectness;
          EXPECT_EQ(std::memcmp(&got[k], &want, sizeof want), 0)
              << set_.images[i].name << ", " << layout << ", record " << k;
        }
      };
      same(run(as_columns), false, "columns");
      same(run(as_anchor_free), true, "anchor-free columns");
      same(run(as_separate), true, "separate tensors");
      same(run(as_by_candidate), true, "separate tensors, scores by candidate");
      expect_close_scores(expected, run(as_logits), set_.images[i].name + " logits");

      if (mode == 0) {
        // A 640 x 480 picture stretched into the input.
        const quelt_image_geometry picture =
            quelt_geometry_stretch(set_.net_width, set_.net_height, 640.0f, 480.0f);
        options.geometry = &picture;
        const detections mapped = run(as_rows);
        double strongest_iou = 0;
        const quelt::test::peer_detection* strongest = nullptr;
        for (const auto& peer : set_.images[i].peers) {
          if (strongest == nullptr || peer.probability > strongest->probability) {
            strongest = &peer;
          }
        }
        ASSERT_NE(strongest, nullptr);
        for (const auto& r : mapped) {
          EXPECT_TRUE(r.x_min >= 0 && r.x_max <= 640 && r.y_min >= 0 && r.y_max <= 480);
          if (r.class_id == strongest->class_id) {
            strongest_iou = std::max(
                strongest_iou, corner_iou(r.x_min, r.y_min, r.x_max, r.y_max,
                                          strongest->x_min * 640.0, strongest->y_min * 480.0,
                                          strongest->x_max * 640.0, strongest->y_max * 480.0));
          }
        }
        EXPECT_GE(strongest_iou, 0.5) << set_.images[i].name;
      }
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

// ------------------------------------------------------- raw per-level heads --

// The raw heads of an int8-exported YOLOv8n (../shared/fixtures/real-modern/
// yolov8n_det_320: box distributions (1, 64, H, W) and class logits (1, 80,
// H, W) at strides 8, 16 and 32) through quelt_decode_levels: the peer's
// exact float decode of the same heads, and, quantized per tensor to int8
// and to uint8 from each tensor's range as a calibration tool would, the
// same records as their dequantized float32 form, on the same objects.
TEST_F(RealSealedOutput, RawHeadsOfAModernNetworkMatchThePeer) {
  const std::string dir = std::string(QUELT_SHARED_DIR) + "/fixtures/real-modern/yolov8n_det_320";
  std::ifstream manifest_file(dir + "/manifest.json");
  if (!manifest_file) {
    GTEST_SKIP() << "real-modern fixtures not found in " << dir;
  }
  const auto manifest = nlohmann::json::parse(manifest_file);
  std::size_t images = 0;
  for (const auto& image : manifest.at("images")) {
    if (!image.contains("head_files")) {
      continue;
    }
    ++images;
    const std::string name = image.at("name");
    // The maps, NCHW, levels at strides 8, 16, 32.
    std::vector<quelt::npy::npy_array> maps;
    for (const auto& level : image.at("head_files")) {
      maps.push_back(
          quelt::npy::read_npy(dir + "/" + level.at("box").at("file").get<std::string>()));
      maps.push_back(
          quelt::npy::read_npy(dir + "/" + level.at("cls").at("file").get<std::string>()));
    }
    ASSERT_EQ(maps.size(), 6u) << name;
    const auto& letterbox = image.at("letterbox");
    const float scale = letterbox.at("scale").get<float>();
    const quelt_image_geometry geometry{image.at("original_wh")[0].get<float>(),
                                        image.at("original_wh")[1].get<float>(),
                                        scale,
                                        scale,
                                        letterbox.at("pad_ltrb")[0].get<float>(),
                                        letterbox.at("pad_ltrb")[1].get<float>()};
    const float score_threshold = 0.25f;
    const float iou_threshold = 0.45f;
    quelt_decode_options options;
    quelt_decode_options_init(&options);
    options.network_width = 320;
    options.network_height = 320;
    options.score_thresholds = &score_threshold;
    options.iou_thresholds = &iou_threshold;
    options.geometry = &geometry;

    // Levels over the maps as they are, or over `elements` (one buffer a map)
    // of the given element descriptions.
    const auto describe = [&](const std::vector<const void*>& data,
                              const std::vector<quelt_element>& elements) {
      std::vector<quelt_level> levels(3);
      for (std::size_t l = 0; l < 3; ++l) {
        const auto& box = maps[2 * l];
        const auto h = static_cast<std::int64_t>(box.shape[2]);
        const auto w = static_cast<std::int64_t>(box.shape[3]);
        levels[l].height = h;
        levels[l].width = w;
        levels[l].stride = 320 / static_cast<std::int32_t>(w);
        levels[l].boxes = quelt_grid_view{
            static_cast<const float*>(data[2 * l]), 64 * h * w, w, 1, h * w, elements[2 * l]};
        levels[l].scores = quelt_grid_view{static_cast<const float*>(data[2 * l + 1]),
                                           80 * h * w,
                                           w,
                                           1,
                                           h * w,
                                           elements[2 * l + 1]};
      }
      return levels;
    };
    const auto decode_levels = [&](const std::vector<quelt_level>& levels) {
      quelt_levels heads;
      quelt_levels_init(&heads);
      heads.score_coding = QUELT_SCORES_LOGITS;
      heads.batch = 1;
      heads.classes = 80;
      heads.bins = 16;
      heads.level_count = 3;
      heads.levels = levels.data();
      object_handler handle{};
      auto result = quelt::test::read_back(quelt_decode_levels(&heads, &options, &handle), handle);
      EXPECT_EQ(result.failure, "") << name;
      return result.images.size() == 1 ? result.images[0] : detections{};
    };
    // Every peer object found by a record of its class whose box overlaps
    // the peer's at least `min_iou`; `exact`: as many records as peers, and
    // scores within 1e-4.
    const auto expect_peers = [&](const detections& got, double min_iou, bool exact,
                                  const std::string& what) {
      const auto& peers = image.at("peer_detections_from_heads");
      if (exact) {
        EXPECT_EQ(got.size(), peers.size()) << name << ", " << what;
      }
      for (const auto& peer : peers) {
        const auto& box = peer.at("box_xyxy");
        double best = 0.0;
        const object_detection* match = nullptr;
        for (const object_detection& r : got) {
          const double overlap =
              r.class_id == peer.at("class_id").get<int>()
                  ? corner_iou(r.x_min, r.y_min, r.x_max, r.y_max, box[0].get<double>(),
                               box[1].get<double>(), box[2].get<double>(), box[3].get<double>())
                  : 0.0;
          if (overlap > best) {
            best = overlap;
            match = &r;
          }
        }
        EXPECT_GE(best, min_iou) << name << ", " << what << ": " << peer.dump();
        if (exact && match != nullptr) {
          EXPECT_NEAR(match->probability, peer.at("score").get<float>(), 1e-4) << name;
        }
      }
    };

    std::vector<const void*> floats;
    for (const auto& map : maps) {
      floats.push_back(map.values.data());
    }
    const detections from_floats =
        decode_levels(describe(floats, std::vector<quelt_element>(6, quelt_element{})));
    expect_peers(from_floats, 0.99, true, "float32 heads");

    for (const std::int32_t type : {QUELT_ELEMENT_INT8, QUELT_ELEMENT_UINT8}) {
      const std::int32_t low = type == QUELT_ELEMENT_INT8 ? -128 : 0;
      const std::int32_t high = low + 255;
      std::vector<std::vector<unsigned char>> quantized(6);
      std::vector<std::vector<float>> dequantized(6);
      std::vector<quelt_element> elements(6);
      for (std::size_t m = 0; m < 6; ++m) {
        const std::vector<float>& values = maps[m].values;
        const float lo = std::min(0.0f, *std::min_element(values.begin(), values.end()));
        const float hi = std::max(0.0f, *std::max_element(values.begin(), values.end()));
        const float step = (hi - lo) / 255.0f;
        const auto zero = static_cast<std::int32_t>(std::lround(low - lo / step));
        elements[m] = quelt_element{type, std::clamp(zero, low, high), step, 0};
        for (float v : values) {
          const auto q = std::clamp(
              static_cast<std::int32_t>(std::lround(v / step)) + elements[m].zero_point, low, high);
          quantized[m].push_back(static_cast<unsigned char>(q & 0xff));
          dequantized[m].push_back(static_cast<float>(q - elements[m].zero_point) * step);
        }
      }
      std::vector<const void*> q_data;
      std::vector<const void*> f_data;
      for (std::size_t m = 0; m < 6; ++m) {
        q_data.push_back(quantized[m].data());
        f_data.push_back(dequantized[m].data());
      }
      const std::string what = type == QUELT_ELEMENT_INT8 ? "int8 heads" : "uint8 heads";
      const detections from_quantized = decode_levels(describe(q_data, elements));
      const detections from_dequantized =
          decode_levels(describe(f_data, std::vector<quelt_element>(6, quelt_element{})));
      ASSERT_EQ(from_quantized.size(), from_dequantized.size()) << name << ", " << what;
      if (!from_quantized.empty()) {
        EXPECT_EQ(std::memcmp(from_quantized.data(), from_dequantized.data(),
                              from_quantized.size() * sizeof(object_detection)),
                  0)
            << name << ", " << what;
      }
      expect_peers(from_quantized, 0.9, false, what);
    }
  }
  EXPECT_EQ(images, 4u);
}

// A real pose network (../shared/fixtures/real-modern/yolo11n_pose_640):
// its finished output (1, 56, 8400) read as columns with 17 keypoints, and,
// for the photos with raw heads, the per-level maps with the keypoint maps'
// raw terms; both mapped to the photo. The same persons as the peer, each
// from the peer's candidate, with every keypoint within 0.5 px in the
// photo's pixels and its visibility within 1e-3.
TEST_F(RealSealedOutput, PoseKeypointsMatchThePeer) {
  const std::string dir = std::string(QUELT_SHARED_DIR) + "/fixtures/real-modern/yolo11n_pose_640";
  std::ifstream manifest_file(dir + "/manifest.json");
  if (!manifest_file) {
    GTEST_SKIP() << "real-modern fixtures not found in " << dir;
  }
  const auto manifest = nlohmann::json::parse(manifest_file);
  constexpr std::int32_t keypoints = 17;
  std::size_t persons = 0;
  std::size_t from_heads = 0;
  for (const auto& image : manifest.at("images")) {
    const std::string name = image.at("name");
    const auto& letterbox = image.at("letterbox");
    const float scale = letterbox.at("scale").get<float>();
    const quelt_image_geometry geometry{image.at("original_wh")[0].get<float>(),
                                        image.at("original_wh")[1].get<float>(),
                                        scale,
                                        scale,
                                        letterbox.at("pad_ltrb")[0].get<float>(),
                                        letterbox.at("pad_ltrb")[1].get<float>()};
    const float score_threshold = 0.25f;
    const float iou_threshold = 0.45f;
    quelt_decode_options options;
    quelt_decode_options_init(&options);
    options.network_width = 640;
    options.network_height = 640;
    options.score_thresholds = &score_threshold;
    options.iou_thresholds = &iou_threshold;
    options.geometry = &geometry;

    // The records of a call, their sources and keypoints, against the peer
    // (`anchor_key`: the peer's name for the candidate, "anchor" for the
    // columns, none for the heads).
    const auto check = [&](return_status status, object_handler handle, const char* peers_key,
                           bool sources, const std::string& what) {
      ASSERT_EQ(quelt::test::failure_text(status), "") << name << ", " << what;
      std::uint64_t count = 0;
      ASSERT_EQ(quelt::test::failure_text(detections_batch_detections_count(handle, 0, &count)),
                "");
      detections records(count);
      std::vector<std::int64_t> source(count);
      std::vector<float> points(count * keypoints * 3);
      if (count > 0) {
        ASSERT_EQ(
            quelt::test::failure_text(detections_batch_detections_store(handle, 0, records.data())),
            "");
        ASSERT_EQ(quelt::test::failure_text(quelt_batch_sources_store(handle, 0, source.data())),
                  "");
        ASSERT_EQ(quelt::test::failure_text(quelt_batch_keypoints_store(handle, 0, points.data())),
                  "");
      }
      object_handler_destroy(handle);
      const auto& peers = image.at(peers_key);
      ASSERT_EQ(records.size(), peers.size()) << name << ", " << what;
      for (const auto& peer : peers) {
        const auto& box = peer.at("box_xyxy");
        std::size_t match = records.size();
        double best = 0.0;
        for (std::size_t r = 0; r < records.size(); ++r) {
          const object_detection& d = records[r];
          const double overlap =
              corner_iou(d.x_min, d.y_min, d.x_max, d.y_max, box[0].get<double>(),
                         box[1].get<double>(), box[2].get<double>(), box[3].get<double>());
          if (overlap > best) {
            best = overlap;
            match = r;
          }
        }
        ASSERT_GE(best, 0.99) << name << ", " << what << ": " << peer.dump();
        ++persons;
        if (sources) {
          EXPECT_EQ(source[match], peer.at("anchor").get<std::int64_t>()) << name << ", " << what;
        }
        const auto& expected = peer.at("keypoints_xyv");
        ASSERT_EQ(expected.size(), static_cast<std::size_t>(keypoints));
        for (std::size_t k = 0; k < expected.size(); ++k) {
          const float* p = &points[(match * keypoints + k) * 3];
          EXPECT_NEAR(p[0], expected[k][0].get<double>(), 0.5) << name << ", " << what << ", " << k;
          EXPECT_NEAR(p[1], expected[k][1].get<double>(), 0.5) << name << ", " << what << ", " << k;
          EXPECT_NEAR(p[2], expected[k][2].get<double>(), 1e-3)
              << name << ", " << what << ", " << k;
        }
      }
    };

    // The finished output: box, person score, then 51 keypoint rows.
    const auto output = quelt::npy::read_npy(dir + "/" + name + ".output0.npy");
    ASSERT_EQ(output.shape, (std::vector<std::size_t>{1, 56, 8400})) << name;
    quelt_layout layout;
    quelt_layout_columns(&layout, output.values.data(), 1, 8400, 1);
    layout.extras = quelt_view{output.values.data() + 5 * 8400, 56 * 8400, 1, 8400};
    layout.extras_count = 3 * keypoints;
    layout.keypoint_count = keypoints;
    layout.keypoint_values = 3;
    object_handler handle{};
    check(quelt_decode(&layout, &options, &handle), handle, "peer_detections", true, "output0");

    if (!image.contains("head_files")) {
      continue;
    }
    ++from_heads;
    std::vector<quelt::npy::npy_array> maps;
    for (const auto& level : image.at("head_files")) {
      for (const char* role : {"box", "cls", "kpt"}) {
        maps.push_back(
            quelt::npy::read_npy(dir + "/" + level.at(role).at("file").get<std::string>()));
      }
    }
    ASSERT_EQ(maps.size(), 9u) << name;
    std::vector<quelt_level> levels(3);
    std::vector<quelt_grid_view> keypoint_maps(3);
    for (std::size_t l = 0; l < 3; ++l) {
      const auto h = static_cast<std::int64_t>(maps[3 * l].shape[2]);
      const auto w = static_cast<std::int64_t>(maps[3 * l].shape[3]);
      levels[l].height = h;
      levels[l].width = w;
      levels[l].stride = 640 / static_cast<std::int32_t>(w);
      levels[l].boxes =
          quelt_grid_view{maps[3 * l].values.data(), 64 * h * w, w, 1, h * w, quelt_element{}};
      levels[l].scores =
          quelt_grid_view{maps[3 * l + 1].values.data(), h * w, w, 1, h * w, quelt_element{}};
      keypoint_maps[l] =
          quelt_grid_view{maps[3 * l + 2].values.data(), 51 * h * w, w, 1, h * w, quelt_element{}};
    }
    quelt_levels heads;
    quelt_levels_init(&heads);
    heads.score_coding = QUELT_SCORES_LOGITS;
    heads.batch = 1;
    heads.classes = 1;
    heads.bins = 16;
    heads.level_count = 3;
    heads.levels = levels.data();
    heads.extras = keypoint_maps.data();
    heads.extras_count = 3 * keypoints;
    heads.keypoint_count = keypoints;
    heads.keypoint_values = 3;
    heads.keypoint_coding = QUELT_SCORES_LOGITS;
    heads.keypoint_form = QUELT_KEYPOINTS_GRID;
    object_handler level_handle{};
    // The cells count as output0's columns do, so the peer's anchors hold.
    check(quelt_decode_levels(&heads, &options, &level_handle), level_handle,
          "peer_detections_from_heads", true, "raw heads");
  }
  EXPECT_EQ(persons, 13u);
  EXPECT_EQ(from_heads, 2u);
}

// ------------------------------------------------------ instance masks --

// The segmentation outputs of an int8-exported YOLOv8n-seg
// (../shared/fixtures/real-modern/yolov8n_seg_320: (1, 116, 2100) with 32
// mask coefficients per candidate, prototypes (1, 32, 80, 80)) through
// quelt_decode with the coefficients as extras: the peer's objects, and each
// record's binary mask at the photo's resolution against a plain decode of
// the same tensors in double precision (whole prototype grid, logistic,
// bilinear sample at every photo pixel, box crop): mask IoU at least 0.99.
TEST_F(RealSealedOutput, SegmentationMasksMatchAPlainDecode) {
  const std::string dir = std::string(QUELT_SHARED_DIR) + "/fixtures/real-modern/yolov8n_seg_320";
  std::ifstream manifest_file(dir + "/manifest.json");
  if (!manifest_file) {
    GTEST_SKIP() << "real-modern fixtures not found in " << dir;
  }
  const auto manifest = nlohmann::json::parse(manifest_file);
  constexpr std::int64_t candidates = 2100;
  constexpr std::int32_t classes = 80;
  constexpr int channels = 32;
  constexpr int grid = 80;
  std::size_t masks = 0;
  for (const auto& image : manifest.at("images")) {
    const std::string name = image.at("name");
    const auto output = quelt::npy::read_npy(dir + "/" + name + ".output0.npy");
    const auto prototypes = quelt::npy::read_npy(dir + "/" + name + ".output1.npy");
    ASSERT_EQ(output.values.size(),
              static_cast<std::size_t>((4 + classes + channels) * candidates));
    ASSERT_EQ(prototypes.values.size(), static_cast<std::size_t>(channels * grid * grid));
    const auto& letterbox = image.at("letterbox");
    const float scale = letterbox.at("scale").get<float>();
    const quelt_image_geometry geometry{image.at("original_wh")[0].get<float>(),
                                        image.at("original_wh")[1].get<float>(),
                                        scale,
                                        scale,
                                        letterbox.at("pad_ltrb")[0].get<float>(),
                                        letterbox.at("pad_ltrb")[1].get<float>()};
    quelt_layout layout;
    quelt_layout_columns(&layout, output.values.data(), 1, candidates, classes);
    layout.extras = quelt_view{output.values.data() + (4 + classes) * candidates, 0, 1, candidates};
    layout.extras_count = channels;
    quelt_decode_options options;
    quelt_decode_options_init(&options);
    options.network_width = 320;
    options.network_height = 320;
    options.score_thresholds = &conf_threshold;
    options.iou_thresholds = &nms_threshold;
    options.geometry = &geometry;
    options.details = 1;
    object_handler handle{};
    ASSERT_EQ(quelt::test::failure_text(quelt_decode(&layout, &options, &handle)), "") << name;
    std::uint64_t count = 0;
    ASSERT_EQ(quelt::test::failure_text(detections_batch_detections_count(handle, 0, &count)), "");
    EXPECT_EQ(count, image.at("peer_detections").size()) << name;
    std::vector<std::int64_t> sources(count);
    ASSERT_EQ(quelt::test::failure_text(quelt_batch_sources_store(handle, 0, sources.data())), "");

    quelt_mask_request request;
    quelt_mask_request_init(&request);
    request.kind = QUELT_MASK_ORIGINAL_BINARY;
    request.prototypes = quelt_grid_view{prototypes.values.data(), 0, grid, 1, grid * grid, {}};
    request.prototype_channels = channels;
    request.prototype_height = grid;
    request.prototype_width = grid;
    std::uint64_t bytes = 0;
    ASSERT_EQ(quelt::test::failure_text(quelt_batch_masks_size(handle, 0, &request, &bytes)), "");
    std::vector<unsigned char> values(bytes);
    std::vector<quelt_mask_region> regions(count);
    request.values = values.data();
    request.values_size = bytes;
    request.regions = regions.data();
    ASSERT_EQ(quelt::test::failure_text(quelt_batch_masks_store(handle, 0, &request)), "");
    object_handler_destroy(handle);

    const auto width = static_cast<int>(geometry.original_width);
    const auto height = static_cast<int>(geometry.original_height);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::int64_t n = sources[i];
      const auto at = [&](std::int64_t row) {
        return static_cast<double>(output.values[static_cast<std::size_t>(row * candidates + n)]);
      };
      const double box[4] = {at(0) - at(2) / 2, at(1) - at(3) / 2, at(0) + at(2) / 2,
                             at(1) + at(3) / 2};
      std::vector<double> probability(grid * grid);
      for (int p = 0; p < grid * grid; ++p) {
        double logit = 0.0;
        for (int c = 0; c < channels; ++c) {
          logit += at(4 + classes + c) *
                   prototypes.values[static_cast<std::size_t>(c * grid * grid + p)];
        }
        probability[static_cast<std::size_t>(p)] = 1.0 / (1.0 + std::exp(-logit));
      }
      const auto sample = [&](double p, int& first, int& second, double& weight) {
        p = std::clamp(p, 0.0, static_cast<double>(grid - 1));
        first = std::min(static_cast<int>(p), grid - 1);
        second = std::min(first + 1, grid - 1);
        weight = p - first;
      };
      const quelt_mask_region& region = regions[i];
      std::size_t both = 0, either = 0, plain_area = 0;
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const double nx = (x + 0.5) * geometry.scale_x + geometry.pad_x;
          const double ny = (y + 0.5) * geometry.scale_y + geometry.pad_y;
          bool plain = false;
          if (box[0] <= nx && nx < box[2] && box[1] <= ny && ny < box[3]) {
            int u0, u1, v0, v1;
            double wu, wv;
            sample(nx * grid / 320 - 0.5, u0, u1, wu);
            sample(ny * grid / 320 - 0.5, v0, v1, wv);
            const auto p = [&](int v, int u) {
              return probability[static_cast<std::size_t>(v * grid + u)];
            };
            plain = ((p(v0, u0) * (1 - wu) + p(v0, u1) * wu) * (1 - wv) +
                     (p(v1, u0) * (1 - wu) + p(v1, u1) * wu) * wv) > 0.5;
          }
          const bool library =
              x >= region.x && x < region.x + region.width && y >= region.y &&
              y < region.y + region.height &&
              values[static_cast<std::size_t>(region.offset + (y - region.y) * region.width +
                                              (x - region.x))] != 0;
          both += plain && library ? 1 : 0;
          either += plain || library ? 1 : 0;
          plain_area += plain ? 1 : 0;
        }
      }
      const double mask_iou = either == 0 ? 1.0 : static_cast<double>(both) / either;
      EXPECT_GE(mask_iou, 0.99) << name << " record " << i;
      EXPECT_GT(plain_area, 1000u) << name << " record " << i;
      ++masks;
    }
  }
  EXPECT_EQ(masks, 15u);
}

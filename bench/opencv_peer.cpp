#include "opencv_peer.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

// NMSBoxesBatched arrived in OpenCV 4.7.
#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 7)
#define QUELT_BENCH_HAS_NMS_BATCHED 1
#else
#define QUELT_BENCH_HAS_NMS_BATCHED 0
#endif

namespace quelt_bench {

namespace {

struct proposals {
  std::vector<cv::Rect2d> boxes;
  std::vector<float> scores;
  std::vector<int> class_ids;

  void clear() {
    boxes.clear();
    scores.clear();
    class_ids.clear();
  }
  void add(const float* centre_size, float score, int class_id) {
    const double w = centre_size[2];
    const double h = centre_size[3];
    boxes.emplace_back(centre_size[0] - w / 2, centre_size[1] - h / 2, w, h);
    scores.push_back(score);
    class_ids.push_back(class_id);
  }
};

std::size_t suppress(const proposals& p, float conf, float nms, peer_nms mode) {
  std::vector<int> kept;
  if (mode == peer_nms::class_agnostic) {
    cv::dnn::NMSBoxes(p.boxes, p.scores, conf, nms, kept);
    return kept.size();
  }
#if QUELT_BENCH_HAS_NMS_BATCHED
  cv::dnn::NMSBoxesBatched(p.boxes, p.scores, p.class_ids, conf, nms, kept);
#else
  // Classes apart: shift each class's boxes beyond every other's.
  double reach = 0;
  for (const cv::Rect2d& b : p.boxes) {
    reach = std::max({reach, std::abs(b.x), std::abs(b.y), std::abs(b.br().x), std::abs(b.br().y)});
  }
  std::vector<cv::Rect2d> shifted = p.boxes;
  for (std::size_t i = 0; i < shifted.size(); ++i) {
    const double offset = p.class_ids[i] * (2 * reach + 1);
    shifted[i].x += offset;
    shifted[i].y += offset;
  }
  cv::dnn::NMSBoxes(shifted, p.scores, conf, nms, kept);
#endif
  return kept.size();
}

}  // namespace

bool opencv_has_batched_nms() {
  return QUELT_BENCH_HAS_NMS_BATCHED != 0;
}

std::size_t opencv_sealed(const float* tensor, std::int64_t rows, std::int64_t batch,
                          std::int32_t classes, float conf, float nms, peer_nms mode) {
  const std::int64_t stride = classes + 5;
  std::size_t kept = 0;
  proposals p;
  for (std::int64_t i = 0; i < batch; ++i) {
    p.clear();
    const float* image = tensor + i * rows * stride;
    for (std::int64_t r = 0; r < rows; ++r) {
      const float* row = image + r * stride;
      const float objectness = row[4];
      if (objectness <= conf) {
        continue;
      }
      const cv::Mat scores(1, classes, CV_32F, const_cast<float*>(row + 5));
      cv::Point best;
      double best_score = 0;
      cv::minMaxLoc(scores, nullptr, &best_score, nullptr, &best);
      const float score = objectness * static_cast<float>(best_score);
      if (score > conf) {
        p.add(row, score, best.x);
      }
    }
    kept += suppress(p, conf, nms, mode);
  }
  return kept;
}

std::size_t opencv_columns(const float* tensor, std::int64_t columns, std::int64_t batch,
                           std::int32_t classes, float conf, float nms, peer_nms mode) {
  const int height = 4 + classes;
  std::size_t kept = 0;
  proposals p;
  for (std::int64_t i = 0; i < batch; ++i) {
    p.clear();
    const cv::Mat output(height, static_cast<int>(columns), CV_32F,
                         const_cast<float*>(tensor + i * height * columns));
    const cv::Mat rows = output.t();  // one row per column: box, then scores
    for (int r = 0; r < rows.rows; ++r) {
      const float* row = rows.ptr<float>(r);
      const cv::Mat scores(1, classes, CV_32F, const_cast<float*>(row + 4));
      cv::Point best;
      double best_score = 0;
      cv::minMaxLoc(scores, nullptr, &best_score, nullptr, &best);
      if (best_score > conf) {
        p.add(row, static_cast<float>(best_score), best.x);
      }
    }
    kept += suppress(p, conf, nms, mode);
  }
  return kept;
}

}  // namespace quelt_bench

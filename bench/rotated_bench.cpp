// Rotated boxes: quelt_decode on a synthetic aerial-like workload (no OBB
// network is among the fixtures) against OpenCV's NMSBoxesRotated through
// class offsets, from 1,000 to 30,000 candidates of 15 classes.
//
// The workload: objects spread over a 1024 x 1024 input, one per 10
// candidates, each a rotated rectangle (4 to 60 px, any angle) of one class;
// its candidates are the object jittered (centre +-3 px, sizes +-15%, angle
// +-0.1 rad), scored 0.3 to 0.95 for its class and below 0.05 for the
// others. The export's layout: columns (4 + 15 + 1, N), the angle last, in
// radians. R1 crowds more objects into the input as the candidates grow;
// R2 spreads them over an input that grows with them (the density of 1,000
// candidates on 1024 x 1024), where the time per candidate should stay flat.
//
// Before the timings, the binary prints two agreements with OpenCV:
//   overlap: our exact overlap against rotatedRectangleIntersection +
//     contourArea on random intersecting pairs of the workload (median, 99th
//     percentile and largest absolute difference);
//   kept sets: per class (no offsets, which lose precision), our records
//     against NMSBoxesRotated's, matched by class and score, over candidates
//     of the best class as both sides pick it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "quelt/quelt.h"

#if defined(QUELT_BENCH_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr std::int32_t classes = 15;
constexpr float size = 1024.0f;
constexpr float score_threshold = 0.25f;
constexpr float iou_threshold = 0.45f;
constexpr double pi = 3.14159265358979323846;

struct workload {
  std::vector<float> values;  // (4 + classes + 1, candidates)
  std::int64_t candidates = 0;

  float at(std::int64_t row, std::int64_t n) const {
    return values[static_cast<std::size_t>(row * candidates + n)];
  }
};

// `extent`: the side of the input the objects are spread over.
workload make_workload(std::int64_t candidates, std::uint64_t seed, float extent = size) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  workload w;
  w.candidates = candidates;
  w.values.assign(static_cast<std::size_t>((4 + classes + 1) * candidates), 0.0f);
  float cx = 0, cy = 0, bw = 0, bh = 0, angle = 0;
  std::int32_t k = 0;
  for (std::int64_t n = 0; n < candidates; ++n) {
    if (n % 10 == 0) {
      cx = unit(engine) * extent;
      cy = unit(engine) * extent;
      bw = 4.0f + unit(engine) * 56.0f;
      bh = 4.0f + unit(engine) * 26.0f;
      angle = unit(engine) * static_cast<float>(pi);
      k = static_cast<std::int32_t>(unit(engine) * classes) % classes;
    }
    auto jitter = [&](float spread) { return (unit(engine) * 2.0f - 1.0f) * spread; };
    w.values[static_cast<std::size_t>(0 * candidates + n)] = cx + jitter(3.0f);
    w.values[static_cast<std::size_t>(1 * candidates + n)] = cy + jitter(3.0f);
    w.values[static_cast<std::size_t>(2 * candidates + n)] = bw * (1.0f + jitter(0.15f));
    w.values[static_cast<std::size_t>(3 * candidates + n)] = bh * (1.0f + jitter(0.15f));
    for (std::int32_t c = 0; c < classes; ++c) {
      w.values[static_cast<std::size_t>((4 + c) * candidates + n)] =
          c == k ? 0.3f + unit(engine) * 0.65f : unit(engine) * 0.05f;
    }
    w.values[static_cast<std::size_t>((4 + classes) * candidates + n)] = angle + jitter(0.1f);
  }
  return w;
}

quelt_layout layout_of(const workload& w) {
  quelt_layout layout;
  quelt_layout_columns(&layout, w.values.data(), 1, w.candidates, classes);
  layout.box_coding = QUELT_BOX_ROTATED;
  layout.angles = quelt_view{w.values.data() + (4 + classes) * w.candidates, 0, 1, 0};
  return layout;
}

std::vector<object_detection> decode(const workload& w) {
  const quelt_layout layout = layout_of(w);
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = static_cast<std::int32_t>(size);
  options.network_height = static_cast<std::int32_t>(size);
  options.score_thresholds = &score_threshold;
  options.iou_thresholds = &iou_threshold;
  object_handler handle{};
  return_status status = quelt_decode(&layout, &options, &handle);
  std::vector<object_detection> records;
  if (status.status_code == 1) {
    std::uint64_t count = 0;
    done_return_status(detections_batch_detections_count(handle, 0, &count));
    records.resize(count);
    done_return_status(detections_batch_detections_store(handle, 0, records.data()));
  }
  done_return_status(status);
  object_handler_destroy(handle);
  return records;
}

#if defined(QUELT_BENCH_OPENCV)
// The candidates as the usual OpenCV loop gathers them: the best class by
// score (the first of equal ones), kept when it passes.
struct proposals {
  std::vector<cv::RotatedRect> boxes;
  std::vector<float> scores;
  std::vector<int> class_ids;
};

proposals gather(const workload& w) {
  proposals p;
  for (std::int64_t n = 0; n < w.candidates; ++n) {
    int best = 0;
    for (int c = 1; c < classes; ++c) {
      best = w.at(4 + c, n) > w.at(4 + best, n) ? c : best;
    }
    const float score = w.at(4 + best, n);
    if (!(score > score_threshold)) {
      continue;
    }
    // Degrees, clockwise on the image: the direction quelt's radians take.
    p.boxes.emplace_back(cv::Point2f(w.at(0, n), w.at(1, n)), cv::Size2f(w.at(2, n), w.at(3, n)),
                         static_cast<float>(w.at(4 + classes, n) * 180.0 / pi));
    p.scores.push_back(score);
    p.class_ids.push_back(best);
  }
  return p;
}

// NMSBoxesRotated over all classes at once, each class's boxes shifted
// beyond every other's.
std::size_t opencv_offsets(const workload& w) {
  const proposals p = gather(w);
  std::vector<cv::RotatedRect> shifted = p.boxes;
  for (std::size_t i = 0; i < shifted.size(); ++i) {
    const float offset = static_cast<float>(p.class_ids[i]) * 2.0f * (size + 100.0f);
    shifted[i].center.x += offset;
    shifted[i].center.y += offset;
  }
  std::vector<int> kept;
  cv::dnn::NMSBoxes(shifted, p.scores, score_threshold, iou_threshold, kept);
  return kept.size();
}

// Kept (class, score) pairs, class by class without offsets. (NMSBoxes over
// RotatedRect is what Python calls NMSBoxesRotated.)
std::set<std::pair<int, float>> opencv_kept_per_class(const workload& w) {
  const proposals p = gather(w);
  std::set<std::pair<int, float>> kept_set;
  for (int c = 0; c < classes; ++c) {
    std::vector<cv::RotatedRect> boxes;
    std::vector<float> scores;
    for (std::size_t i = 0; i < p.boxes.size(); ++i) {
      if (p.class_ids[i] == c) {
        boxes.push_back(p.boxes[i]);
        scores.push_back(p.scores[i]);
      }
    }
    std::vector<int> kept;
    cv::dnn::NMSBoxes(boxes, scores, score_threshold, iou_threshold, kept);
    for (int i : kept) {
      kept_set.insert({c, scores[static_cast<std::size_t>(i)]});
    }
  }
  return kept_set;
}

void print_agreement() {
  // The overlap on random intersecting pairs of candidates.
  const workload w = make_workload(30000, 7);
  const proposals p = gather(w);
  std::mt19937_64 engine(11);
  std::vector<double> differences;
  for (std::size_t i = 0; i + 1 < p.boxes.size() && differences.size() < 20000; ++i) {
    for (std::size_t j = i + 1; j < std::min(p.boxes.size(), i + 12); ++j) {
      std::vector<cv::Point2f> polygon;
      const int kind = cv::rotatedRectangleIntersection(p.boxes[i], p.boxes[j], polygon);
      if (kind == cv::INTERSECT_NONE || polygon.size() < 3) {
        continue;
      }
      const double inter = cv::contourArea(polygon);
      const double a = static_cast<double>(p.boxes[i].size.area());
      const double b = static_cast<double>(p.boxes[j].size.area());
      const double theirs = inter / (a + b - inter);
      // Ours through quelt_decode would need the pair alone: two candidates,
      // threshold just below their overlap, tell it apart; the overlap
      // itself is reached by one call with the pair and IoU threshold t, so
      // bisect on t (24 steps pin a float in [0, 1]).
      float rows[2 * 5 + 2 * 1];
      const cv::RotatedRect* pair[2] = {&p.boxes[i], &p.boxes[j]};
      for (int r = 0; r < 2; ++r) {
        rows[r * 6 + 0] = pair[r]->center.x;
        rows[r * 6 + 1] = pair[r]->center.y;
        rows[r * 6 + 2] = pair[r]->size.width;
        rows[r * 6 + 3] = pair[r]->size.height;
        rows[r * 6 + 4] = pair[r]->angle;
        rows[r * 6 + 5] = r == 0 ? 0.9f : 0.8f;
      }
      quelt_layout layout;
      quelt_layout_rows(&layout, rows, 1, 2, 1, 0);
      layout.box_coding = QUELT_BOX_ROTATED;
      layout.scores.data = rows + 5;
      layout.boxes.candidate_stride = 6;
      layout.scores.candidate_stride = 6;
      layout.angles = quelt_view{rows + 4, 12, 6, 0};
      layout.angle_flags = QUELT_ANGLE_DEGREES;
      double low = 0.0;
      double high = 1.0;
      for (int step = 0; step < 26; ++step) {
        const auto t = static_cast<float>((low + high) / 2);
        quelt_decode_options options;
        quelt_decode_options_init(&options);
        options.network_width = 2048;
        options.network_height = 2048;
        const float none = 0.0f;
        options.score_thresholds = &none;
        options.iou_thresholds = &t;
        object_handler handle{};
        done_return_status(quelt_decode(&layout, &options, &handle));
        std::uint64_t count = 0;
        done_return_status(detections_batch_detections_count(handle, 0, &count));
        object_handler_destroy(handle);
        (count == 1 ? low : high) = t;  // suppressed: the overlap is above t
      }
      differences.push_back(std::fabs((low + high) / 2 - theirs));
    }
  }
  std::sort(differences.begin(), differences.end());
  if (!differences.empty()) {
    std::printf(
        "overlap vs rotatedRectangleIntersection + contourArea, %zu intersecting pairs: "
        "median %.2g, 99th percentile %.2g, largest %.2g\n",
        differences.size(), differences[differences.size() / 2],
        differences[differences.size() * 99 / 100], differences.back());
  }
  for (std::int64_t n : {1000, 3000, 10000, 30000}) {
    const workload v = make_workload(n, 3);
    std::set<std::pair<int, float>> ours;
    for (const object_detection& r : decode(v)) {
      ours.insert({r.class_id, r.probability});
    }
    const std::set<std::pair<int, float>> theirs = opencv_kept_per_class(v);
    std::size_t both = 0;
    for (const auto& kept : ours) {
      both += theirs.count(kept);
    }
    std::printf("kept sets, %lld candidates: quelt %zu, OpenCV %zu, in both %zu\n",
                static_cast<long long>(n), ours.size(), theirs.size(), both);
  }
}
#endif

// Objects at the density of 1,000 candidates on 1024 x 1024, whatever their
// number: the side grows with the square root of the candidates.
float spread_extent(std::int64_t candidates) {
  return size * std::sqrt(static_cast<float>(candidates) / 1000.0f);
}

void register_benchmarks() {
  for (std::int64_t n : {1000, 3000, 10000, 30000}) {
    const std::string name = "R1/rotated/" + std::to_string(n);
    benchmark::RegisterBenchmark((name + "/library").c_str(), [n](benchmark::State& state) {
      const workload w = make_workload(n, 3);
      std::size_t found = 0;
      for (auto _ : state) {
        found = decode(w).size();
        benchmark::DoNotOptimize(found);
      }
      state.counters["detections"] = static_cast<double>(found);
      state.counters["ns_per_candidate"] =
          benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
    });
#if defined(QUELT_BENCH_OPENCV)
    benchmark::RegisterBenchmark((name + "/opencv-offsets").c_str(), [n](benchmark::State& state) {
      const workload w = make_workload(n, 3);
      std::size_t found = 0;
      for (auto _ : state) {
        found = opencv_offsets(w);
        benchmark::DoNotOptimize(found);
      }
      state.counters["detections"] = static_cast<double>(found);
    });
#endif
    benchmark::RegisterBenchmark(
        ("R2/rotated-spread/" + std::to_string(n) + "/library").c_str(),
        [n](benchmark::State& state) {
          const workload w = make_workload(n, 3, spread_extent(n));
          std::size_t found = 0;
          for (auto _ : state) {
            found = decode(w).size();
            benchmark::DoNotOptimize(found);
          }
          state.counters["detections"] = static_cast<double>(found);
          state.counters["ns_per_candidate"] = benchmark::Counter(
              static_cast<double>(n),
              benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
        });
  }
}

}  // namespace

int main(int argc, char** argv) {
#if defined(QUELT_BENCH_OPENCV)
  print_agreement();
#endif
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

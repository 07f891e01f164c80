// A pose export, columns (1, 4 + 1 + 17 x 3, 8400) at a score threshold of
// 0.25, decoded without and with its keypoints: the keypoints are read for
// the surviving records only, so the second call should cost about what the
// first does. Registered when the binary starts, so bench/report tabulates
// both beside the other workloads.
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "quelt/quelt.h"
#include "allocations.hpp"

namespace {

constexpr std::int32_t keypoints = 17;
constexpr std::int32_t rows = 4 + 1 + 3 * keypoints;
constexpr std::int32_t size = 640;

struct pose_workload {
  std::vector<float> values;  // (1, rows, candidates)
  std::int64_t candidates = 0;
};

// Candidates on the three grids of an anchor-free head; a dozen people, each
// scored high by the candidates whose centre falls inside them, over a
// background of small person scores; keypoints spread over each box.
pose_workload make_pose(std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> cx;
  std::vector<float> cy;
  std::vector<float> stride_of;
  for (int stride : {8, 16, 32}) {
    const int cells = size / stride;
    for (int y = 0; y < cells; ++y) {
      for (int x = 0; x < cells; ++x) {
        cx.push_back((static_cast<float>(x) + 0.5f) * static_cast<float>(stride));
        cy.push_back((static_cast<float>(y) + 0.5f) * static_cast<float>(stride));
        stride_of.push_back(static_cast<float>(stride));
      }
    }
  }
  pose_workload w;
  const auto n = static_cast<std::int64_t>(cx.size());
  w.candidates = n;
  w.values.resize(static_cast<std::size_t>(rows * n));
  float* v = w.values.data();
  for (std::int64_t i = 0; i < n; ++i) {
    v[i] = cx[i];
    v[n + i] = cy[i];
    v[2 * n + i] = stride_of[i] * (1.0f + 3.0f * unit(engine));
    v[3 * n + i] = stride_of[i] * (1.0f + 3.0f * unit(engine));
    v[4 * n + i] = std::pow(10.0f, -6.0f + 4.0f * unit(engine));
    for (std::int32_t c = 0; c < 3 * keypoints; ++c) {
      v[(5 + c) * n + i] = c % 3 == 2 ? unit(engine) : cx[i] + 20.0f * (unit(engine) - 0.5f);
    }
  }
  for (int o = 0; o < 12; ++o) {
    const float ox = unit(engine) * static_cast<float>(size);
    const float oy = unit(engine) * static_cast<float>(size);
    const float ow = 40.0f + unit(engine) * 120.0f;
    const float oh = 80.0f + unit(engine) * 200.0f;
    for (std::int64_t i = 0; i < n; ++i) {
      const float dx = std::fabs(cx[i] - ox) / (0.5f * ow);
      const float dy = std::fabs(cy[i] - oy) / (0.5f * oh);
      if (dx < 1.0f && dy < 1.0f) {
        v[i] = ox + (unit(engine) - 0.5f) * 4.0f;
        v[n + i] = oy + (unit(engine) - 0.5f) * 4.0f;
        v[2 * n + i] = ow * (0.8f + 0.4f * unit(engine));
        v[3 * n + i] = oh * (0.8f + 0.4f * unit(engine));
        v[4 * n + i] = 0.95f * (1.0f - 0.7f * std::max(dx, dy)) * unit(engine);
        for (std::int32_t k = 0; k < keypoints; ++k) {
          v[(5 + 3 * k) * n + i] = ox + ow * (unit(engine) - 0.5f);
          v[(6 + 3 * k) * n + i] = oy + oh * (unit(engine) - 0.5f);
        }
      }
    }
  }
  return w;
}

// One call and every record read back, with its keypoints when asked.
std::size_t decode_pose(const pose_workload& w, bool with_keypoints, std::vector<float>& points,
                        std::vector<object_detection>& records) {
  quelt_layout layout;
  quelt_layout_columns(&layout, w.values.data(), 1, w.candidates, 1);
  if (with_keypoints) {
    layout.extras =
        quelt_view{w.values.data() + 5 * w.candidates, rows * w.candidates, 1, w.candidates};
    layout.extras_count = 3 * keypoints;
    layout.keypoint_count = keypoints;
    layout.keypoint_values = 3;
  }
  const float score = 0.25f;
  const float iou = 0.45f;
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = size;
  options.network_height = size;
  options.score_thresholds = &score;
  options.iou_thresholds = &iou;
  object_handler handler{};
  done_return_status(quelt_decode(&layout, &options, &handler));
  std::uint64_t count = 0;
  done_return_status(detections_batch_detections_count(handler, 0, &count));
  records.resize(count);
  done_return_status(detections_batch_detections_store(handler, 0, records.data()));
  if (with_keypoints) {
    points.resize(count * keypoints * 3);
    done_return_status(quelt_batch_keypoints_store(handler, 0, points.data()));
  }
  object_handler_destroy(handler);
  return count;
}

void register_pose(const std::string& name, const pose_workload* w, bool with_keypoints) {
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    std::vector<float> points;
    std::vector<object_detection> records;
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_pose(*w, with_keypoints, points, records);
      benchmark::DoNotOptimize(found);
    }
    const quelt_bench::allocation_profile profile =
        quelt_bench::measure_allocations([&] { decode_pose(*w, with_keypoints, points, records); });
    state.counters["alloc_count"] = static_cast<double>(profile.count);
    state.counters["alloc_peak"] = static_cast<double>(profile.peak_bytes);
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = static_cast<double>(w->candidates);
  });
}

[[maybe_unused]] const bool registered = [] {
  auto* w = new pose_workload(make_pose(17));
  register_pose("P1-pose-640-boxes", w, false);
  register_pose("P2-pose-640-keypoints", w, true);
  return true;
}();

}  // namespace

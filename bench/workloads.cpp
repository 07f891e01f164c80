#include "workloads.hpp"

#include <algorithm>
#include <cmath>
#include <random>

namespace quelt_bench {

namespace {

constexpr int classes = 80;
constexpr int anchors_per_cell = 3;
constexpr std::size_t stride = classes + 5;

struct object {
  float x;  // centre, fraction of the input
  float y;
  int class_id;
  float strength;  // objectness logit at the centre
};

std::vector<object> make_objects(std::mt19937_64& engine, int count) {
  std::uniform_real_distribution<float> position(0.05f, 0.95f);
  std::uniform_int_distribution<int> class_pick(0, classes - 1);
  std::uniform_real_distribution<float> strength(0.0f, 3.0f);
  std::vector<object> objects;
  for (int i = 0; i < count; ++i) {
    objects.push_back(
        object{position(engine), position(engine), class_pick(engine), strength(engine)});
  }
  return objects;
}

// The nearest object within a cell and a half of cell (gx, gy), which then
// sees that cell; null when there is none.
const object* nearest_object(const std::vector<object>& objects, int grid, int gx, int gy,
                             float& distance) {
  const object* seen = nullptr;
  for (const object& o : objects) {
    const float d = std::hypot(o.x * grid - (gx + 0.5f), o.y * grid - (gy + 0.5f));
    if (d < 1.5f && (seen == nullptr || d < distance)) {
      seen = &o;
      distance = d;
    }
  }
  return seen;
}

// Fills one record: background values, or those of an object seen at
// `distance` cells from its centre.
void fill_record(float* v, std::mt19937_64& engine, const object* seen, float distance) {
  std::normal_distribution<float> background(-8.0f, 2.0f);
  std::normal_distribution<float> class_background(-10.0f, 2.0f);
  std::normal_distribution<float> offset(0.0f, 1.0f);
  std::normal_distribution<float> size(0.0f, 0.3f);
  v[0] = offset(engine);
  v[1] = offset(engine);
  v[2] = size(engine);
  v[3] = size(engine);
  v[4] = background(engine);
  for (int c = 0; c < classes; ++c) {
    v[5 + c] = class_background(engine);
  }
  if (seen != nullptr) {
    std::uniform_real_distribution<float> jitter(-1.0f, 1.0f);
    v[4] = seen->strength - 3.0f * distance + 2.0f * jitter(engine) - 1.0f;
    v[5 + seen->class_id] = 3.0f + jitter(engine);
    // A runner-up class now and then, as real networks give.
    v[5 + (seen->class_id + 1) % classes] = -1.0f + jitter(engine);
  }
}

float logistic(float v) {
  return 1.0f / (std::exp(-v) + 1.0f);
}

}  // namespace

darknet_workload make_darknet_workload(std::uint64_t batch, std::uint64_t seed) {
  darknet_workload w;
  w.net = net_params{608, 608};
  w.batch = batch;
  w.anchors = {10, 13, 16, 30, 33, 23, 30, 61, 62, 45, 59, 119, 116, 90, 156, 198, 373, 326};
  const int grids[] = {19, 38, 76};
  w.masks = {{6, 7, 8}, {3, 4, 5}, {0, 1, 2}};
  std::mt19937_64 engine(seed);

  for (int l = 0; l < 3; ++l) {
    const int grid = grids[l];
    std::vector<float> values(batch * grid * grid * anchors_per_cell * stride);
    for (std::uint64_t i = 0; i < batch; ++i) {
      const auto objects = make_objects(engine, 8);
      for (int gy = 0; gy < grid; ++gy) {
        for (int gx = 0; gx < grid; ++gx) {
          float distance = 0.0f;
          const object* seen = nearest_object(objects, grid, gx, gy, distance);
          for (int k = 0; k < anchors_per_cell; ++k) {
            const std::size_t record =
                ((i * grid + gy) * grid + gx) * anchors_per_cell + static_cast<std::size_t>(k);
            fill_record(&values[record * stride], engine, seen, distance);
          }
        }
      }
    }
    w.values.push_back(std::move(values));
  }
  for (int l = 0; l < 3; ++l) {
    yolo_output layer{};
    layer.output.data = w.values[l].data();
    layer.output.batch = batch;
    layer.output.width = static_cast<std::uint64_t>(grids[l]);
    layer.output.height = static_cast<std::uint64_t>(grids[l]);
    layer.output.channels = anchors_per_cell * stride;
    layer.classes = classes;
    layer.mask = w.masks[l].data();
    layer.mask_size = anchors_per_cell;
    layer.xy_scale = 1.0f;
    layer.preactivated = 0;
    layer.anchors = w.anchors.data();
    w.layers.push_back(layer);
    w.records += batch * grids[l] * grids[l] * anchors_per_cell;
  }
  return w;
}

sealed_workload make_sealed_workload(std::uint64_t seed) {
  sealed_workload w;
  w.classes = classes;
  w.width = 640;
  w.height = 640;
  w.batch = 1;
  std::mt19937_64 engine(seed);
  const auto objects = make_objects(engine, 10);
  const int grids[] = {80, 40, 20};
  const float anchor_sizes[] = {16.0f, 48.0f, 140.0f};
  std::vector<float> record(stride);
  for (int l = 0; l < 3; ++l) {
    const int grid = grids[l];
    for (int gy = 0; gy < grid; ++gy) {
      for (int gx = 0; gx < grid; ++gx) {
        float distance = 0.0f;
        const object* seen = nearest_object(objects, grid, gx, gy, distance);
        for (int k = 0; k < anchors_per_cell; ++k) {
          fill_record(record.data(), engine, seen, distance);
          const float cell = 640.0f / static_cast<float>(grid);
          const float anchor = anchor_sizes[l] * (1.0f + 0.5f * static_cast<float>(k));
          w.tensor.push_back((static_cast<float>(gx) + logistic(record[0])) * cell);
          w.tensor.push_back((static_cast<float>(gy) + logistic(record[1])) * cell);
          w.tensor.push_back(std::exp(record[2]) * anchor);
          w.tensor.push_back(std::exp(record[3]) * anchor);
          for (std::size_t p = 4; p < stride; ++p) {
            w.tensor.push_back(logistic(record[p]));
          }
          ++w.rows;
        }
      }
    }
  }
  return w;
}

std::uint64_t count_passing(const float* values, std::uint64_t records, std::size_t stride,
                            float cut) {
  std::uint64_t passing = 0;
  for (std::uint64_t r = 0; r < records; ++r) {
    passing += values[r * stride + 4] > cut ? 1 : 0;
  }
  return passing;
}

}  // namespace quelt_bench

#include "workloads.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <random>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

sealed_workload make_spread_background_workload(std::int64_t batch, std::uint64_t seed) {
  sealed_workload w;
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (std::int64_t i = 0; i < batch; ++i) {
    sealed_workload image = make_sealed_workload(seed * 1000 + static_cast<std::uint64_t>(i));
    for (std::int64_t r = 0; r < image.rows; ++r) {
      float* row = &image.tensor[static_cast<std::size_t>(r) * stride];
      if (row[4] > 0.05f) {
        continue;  // an object's cluster
      }
      // Powers of uniform numbers: most values near 0, a long tail up to 1.
      // The exponents give about 28% of rows above 0.001 and 2.4 classes
      // above 0.001 / objectness on such rows.
      row[4] = std::pow(unit(engine), 21.0f);
      for (int c = 0; c < classes; ++c) {
        row[5 + c] = std::pow(unit(engine), 118.0f);
      }
    }
    w.tensor.insert(w.tensor.end(), image.tensor.begin(), image.tensor.end());
    w.rows = image.rows;
    w.classes = image.classes;
    w.width = image.width;
    w.height = image.height;
  }
  w.batch = batch;
  return w;
}

sealed_workload make_uniform_low_workload(std::int64_t batch, std::uint64_t seed) {
  sealed_workload w;
  w.classes = classes;
  w.width = 640;
  w.height = 640;
  w.batch = batch;
  w.rows = 25200;
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> position(0.0f, 640.0f);
  std::uniform_real_distribution<float> side(8.0f, 160.0f);
  std::normal_distribution<float> objectness(-8.0f, 2.0f);
  std::normal_distribution<float> class_score(-6.0f, 2.0f);
  w.tensor.resize(static_cast<std::size_t>(batch * w.rows) * stride);
  for (std::size_t r = 0; r < static_cast<std::size_t>(batch * w.rows); ++r) {
    float* row = &w.tensor[r * stride];
    row[0] = position(engine);
    row[1] = position(engine);
    row[2] = side(engine);
    row[3] = side(engine);
    row[4] = logistic(objectness(engine));
    for (int c = 0; c < classes; ++c) {
      row[5 + c] = logistic(class_score(engine));
    }
  }
  return w;
}

sealed_workload make_sweep_workload(std::size_t candidates, spread layout, int held_classes,
                                    std::uint64_t seed) {
  sealed_workload w;
  w.classes = classes;
  w.width = 640;
  w.height = 640;
  w.batch = 1;
  w.rows = static_cast<std::int64_t>(2 * candidates);
  w.tensor.resize(2 * candidates * stride);
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> position(0.0f, 640.0f);
  std::uniform_real_distribution<float> size(8.0f, 64.0f);
  std::uniform_real_distribution<float> jitter(-0.1f, 0.1f);
  std::uniform_real_distribution<float> passing(0.55f, 1.0f);
  std::uniform_real_distribution<float> failing(0.0f, 0.2f);
  std::uniform_real_distribution<float> held(0.5f, 1.0f);
  std::uniform_int_distribution<int> class_pick(0, classes - 1);
  struct cluster {
    float cx, cy, w, h;
    int class_id;
  };
  std::vector<cluster> objects;
  for (std::size_t o = 0; o < std::max<std::size_t>(1, candidates / 100); ++o) {
    objects.push_back(cluster{position(engine), position(engine), 2.0f * size(engine),
                              2.0f * size(engine), class_pick(engine)});
  }
  // Passing and failing rows alternate, so the screen reads them all.
  for (std::size_t r = 0; r < 2 * candidates; ++r) {
    float* row = &w.tensor[r * stride];
    const cluster& near = objects[(r / 2) % objects.size()];
    if (layout == spread::uniform) {
      row[0] = position(engine);
      row[1] = position(engine);
      row[2] = size(engine);
      row[3] = size(engine);
    } else {
      row[0] = near.cx + near.w * jitter(engine);
      row[1] = near.cy + near.h * jitter(engine);
      row[2] = near.w * (1.0f + jitter(engine));
      row[3] = near.h * (1.0f + jitter(engine));
    }
    const bool passes = r % 2 == 0;
    row[4] = passes ? passing(engine) : failing(engine);
    const int own = layout == spread::uniform ? class_pick(engine) : near.class_id;
    for (int c = 0; c < classes; ++c) {
      // Held scores x objectness > 0.25; the others stay far below.
      row[5 + c] = held_classes >= classes || c == own ? held(engine) : 0.01f;
    }
  }
  return w;
}

columns_workload make_anchor_free_workload(std::int64_t batch, std::uint64_t seed) {
  columns_workload w;
  w.classes = classes;
  w.width = 640;
  w.height = 640;
  w.batch = batch;
  std::mt19937_64 engine(seed);
  const int grids[] = {80, 40, 20};
  for (int g : grids) {
    w.columns += g * g;
  }
  const std::size_t columns = static_cast<std::size_t>(w.columns);
  const std::size_t height = 4 + static_cast<std::size_t>(classes);
  w.tensor.assign(static_cast<std::size_t>(batch) * height * columns, 0.0f);
  std::normal_distribution<float> background(-10.0f, 2.0f);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (std::int64_t i = 0; i < batch; ++i) {
    float* image = &w.tensor[static_cast<std::size_t>(i) * height * columns];
    const auto objects = make_objects(engine, 10);
    std::size_t column = 0;
    for (int grid : grids) {
      const float cell = 640.0f / static_cast<float>(grid);
      for (int gy = 0; gy < grid; ++gy) {
        for (int gx = 0; gx < grid; ++gx, ++column) {
          float distance = 0.0f;
          const object* seen = nearest_object(objects, grid, gx, gy, distance);
          const float side = cell * (2.0f + 4.0f * unit(engine));
          image[0 * columns + column] = (static_cast<float>(gx) + unit(engine)) * cell;
          image[1 * columns + column] = (static_cast<float>(gy) + unit(engine)) * cell;
          image[2 * columns + column] = side;
          image[3 * columns + column] = side * (0.5f + unit(engine));
          for (int c = 0; c < classes; ++c) {
            image[(4 + static_cast<std::size_t>(c)) * columns + column] =
                logistic(background(engine));
          }
          if (seen != nullptr) {
            const float score = seen->strength - 3.0f * distance + 2.0f * unit(engine) - 1.0f;
            image[(4 + static_cast<std::size_t>(seen->class_id)) * columns + column] =
                logistic(score);
          }
        }
      }
    }
  }
  return w;
}

darknet_workload make_darknet_sweep_workload(std::size_t candidates, std::uint64_t seed) {
  darknet_workload w;
  w.net = net_params{640, 640};
  w.batch = 1;
  // Anchors 16 to 64 pixels: raw sizes near 0 keep the boxes near them.
  w.anchors = {16, 16, 32, 32, 64, 64};
  w.masks = {{0, 1, 2}};
  const auto grid = static_cast<std::uint64_t>(
      std::ceil(std::sqrt(2.0 * static_cast<double>(candidates) / anchors_per_cell)));
  const std::uint64_t records = grid * grid * anchors_per_cell;
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> class_pick(0, classes - 1);
  std::vector<float> values(records * stride);
  // Every other record passes until `candidates` do.
  std::size_t passing = 0;
  for (std::uint64_t r = 0; r < records; ++r) {
    float* v = &values[r * stride];
    v[0] = 4.0f * unit(engine) - 2.0f;
    v[1] = 4.0f * unit(engine) - 2.0f;
    v[2] = unit(engine) - 0.5f;
    v[3] = unit(engine) - 0.5f;
    const bool passes = r % 2 == 0 && passing < candidates;
    passing += passes ? 1 : 0;
    v[4] = passes ? 2.0f + 3.0f * unit(engine) : -4.0f - 3.0f * unit(engine);
    const int own = class_pick(engine);
    for (int c = 0; c < classes; ++c) {
      v[5 + c] = c == own ? 3.0f + unit(engine) : -8.0f - unit(engine);
    }
  }
  w.values.push_back(std::move(values));
  yolo_output layer{};
  layer.output.data = w.values[0].data();
  layer.output.batch = 1;
  layer.output.width = grid;
  layer.output.height = grid;
  layer.output.channels = anchors_per_cell * stride;
  layer.classes = classes;
  layer.mask = w.masks[0].data();
  layer.mask_size = anchors_per_cell;
  layer.xy_scale = 1.0f;
  layer.preactivated = 0;
  layer.anchors = w.anchors.data();
  w.layers.push_back(layer);
  w.records = records;
  return w;
}

columns_workload make_columns_sweep_workload(std::size_t candidates, std::uint64_t seed) {
  columns_workload w;
  w.classes = classes;
  w.width = 640;
  w.height = 640;
  w.batch = 1;
  w.columns = static_cast<std::int64_t>(2 * candidates);
  const std::size_t columns = 2 * candidates;
  w.tensor.assign((4 + static_cast<std::size_t>(classes)) * columns, 0.01f);
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> position(0.0f, 640.0f);
  std::uniform_real_distribution<float> side(8.0f, 64.0f);
  std::uniform_real_distribution<float> held(0.3f, 1.0f);
  std::uniform_int_distribution<int> class_pick(0, classes - 1);
  for (std::size_t c = 0; c < columns; ++c) {
    w.tensor[0 * columns + c] = position(engine);
    w.tensor[1 * columns + c] = position(engine);
    w.tensor[2 * columns + c] = side(engine);
    w.tensor[3 * columns + c] = side(engine);
    if (c % 2 == 0) {
      w.tensor[(4 + static_cast<std::size_t>(class_pick(engine))) * columns + c] = held(engine);
    }
  }
  return w;
}

std::uint64_t count_above(const float* values, std::int64_t count, float limit) {
  std::uint64_t passing = 0;
  std::int64_t i = 0;
#if defined(__SSE2__)
  const __m128 edge = _mm_set1_ps(limit);
  __m128i counted = _mm_setzero_si128();
  for (; i + 4 <= count; i += 4) {
    // A true lane is -1: subtracting counts it.
    counted =
        _mm_sub_epi32(counted, _mm_castps_si128(_mm_cmpgt_ps(_mm_loadu_ps(values + i), edge)));
  }
  std::uint32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), counted);
  passing += std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
#endif
  for (; i < count; ++i) {
    passing += values[i] > limit ? 1 : 0;
  }
  return passing;
}

std::uint64_t count_passing(const float* values, std::uint64_t records, std::size_t stride,
                            float cut) {
  std::uint64_t passing = 0;
  for (std::uint64_t r = 0; r < records; ++r) {
    passing += values[r * stride + 4] > cut ? 1 : 0;
  }
  return passing;
}

std::size_t count_and_release(return_status status, object_handler handler, std::uint64_t images) {
  if (status.status_code != 1) {
    std::fprintf(stderr, "decode failed: %s\n", status.message);
    std::abort();
  }
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < images; ++i) {
    std::uint64_t count = 0;
    detections_batch_detections_count(handler, i, &count);
    total += count;
  }
  object_handler_destroy(handler);
  return total;
}

std::size_t decode_columns(const float* tensor, std::int64_t batch, std::int64_t candidates,
                           std::int32_t classes, std::int32_t width, std::int32_t height,
                           float conf, float nms, std::int32_t cap) {
  quelt_layout layout;
  quelt_layout_columns(&layout, tensor, batch, candidates, classes);
  const std::vector<float> conf_thresholds(static_cast<std::size_t>(batch), conf);
  const std::vector<float> nms_thresholds(static_cast<std::size_t>(batch), nms);
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = width;
  options.network_height = height;
  options.score_thresholds = conf_thresholds.data();
  options.iou_thresholds = nms_thresholds.data();
  options.max_detections = cap;
  object_handler handler{};
  const return_status status = quelt_decode(&layout, &options, &handler);
  return count_and_release(status, handler, static_cast<std::uint64_t>(batch));
}

}  // namespace quelt_bench

// Instance masks of a segmentation export, (1, 4 + 80 + 32, 8400) columns
// with (1, 32, 160, 160) prototypes of a 810 x 1080 photo letterboxed to
// 640, 5 to 20 detections at 0.25. Three ways to the masks of the decoded
// records:
//   S1-masks-original/library   quelt_batch_masks_store, binary masks at the
//                               photo's resolution (only the boxes' pixels)
//   S1-masks-original/peer      what numpy post-processing does, in C++: the
//                               full matrix product over the whole grid, the
//                               logistic, the crop, a bilinear resize to the
//                               network input, the padding cut and a resize
//                               to the photo, the threshold
//   S1-masks-prototype/library  probabilities on the prototype grid
//   S1-masks-prototype/floor    the coefficients and the prototype pixels in
//                               the boxes read once, summed
// S1-decode is the decoding call itself, extras included. Registered when the
// binary starts, like the other workloads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "quelt/quelt.h"

namespace {

constexpr std::int32_t classes = 80;
constexpr std::int32_t channels = 32;
constexpr std::int32_t size = 640;
constexpr std::int32_t grid = 160;
constexpr float photo_width = 810.0f;
constexpr float photo_height = 1080.0f;

struct segment_workload {
  std::vector<float> columns;     // (1, 4 + classes + channels, candidates)
  std::vector<float> prototypes;  // (1, channels, grid, grid)
  std::int64_t candidates = 0;
  quelt_image_geometry geometry{};
  object_handler batch{nullptr, detections_batch};
  std::size_t detections = 0;
};

segment_workload* make_workload(std::uint64_t seed, int objects) {
  auto* w = new segment_workload;
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  w->geometry = quelt_geometry_letterbox(size, size, photo_width, photo_height);
  std::vector<float> cx, cy, stride_of;
  for (int stride : {8, 16, 32}) {
    for (int y = 0; y < size / stride; ++y) {
      for (int x = 0; x < size / stride; ++x) {
        cx.push_back((static_cast<float>(x) + 0.5f) * static_cast<float>(stride));
        cy.push_back((static_cast<float>(y) + 0.5f) * static_cast<float>(stride));
        stride_of.push_back(static_cast<float>(stride));
      }
    }
  }
  const auto n = static_cast<std::int64_t>(cx.size());
  w->candidates = n;
  const std::int64_t rows = 4 + classes + channels;
  w->columns.assign(static_cast<std::size_t>(rows * n), 0.0f);
  float* c = w->columns.data();
  for (std::int64_t i = 0; i < n; ++i) {
    c[i] = cx[i];
    c[n + i] = cy[i];
    c[2 * n + i] = stride_of[i] * 2.0f;
    c[3 * n + i] = stride_of[i] * 2.0f;
    for (std::int32_t k = 0; k < classes; ++k) {
      c[(4 + k) * n + i] = 0.001f * unit(engine);
    }
    for (std::int32_t m = 0; m < channels; ++m) {
      c[(4 + classes + m) * n + i] = 0.3f * normal(engine);
    }
  }
  // Prototype 0 is high inside each object's ellipse; the others are noise.
  w->prototypes.assign(static_cast<std::size_t>(channels * grid * grid), 0.0f);
  for (std::size_t i = grid * grid; i < w->prototypes.size(); ++i) {
    w->prototypes[i] = normal(engine);
  }
  std::fill(w->prototypes.begin(), w->prototypes.begin() + grid * grid, -4.0f);
  const float left = w->geometry.pad_x;
  const float right = static_cast<float>(size) - w->geometry.pad_x;
  for (int o = 0; o < objects; ++o) {
    const float ow = 40.0f + unit(engine) * 220.0f;
    const float oh = 40.0f + unit(engine) * 300.0f;
    const float ox = left + ow / 2 + unit(engine) * (right - left - ow);
    const float oy = oh / 2 + unit(engine) * (static_cast<float>(size) - oh);
    const auto k = static_cast<std::int32_t>(unit(engine) * classes) % classes;
    for (std::int64_t i = 0; i < n; ++i) {
      const float dx = std::fabs(cx[i] - ox) / (0.5f * ow);
      const float dy = std::fabs(cy[i] - oy) / (0.5f * oh);
      if (dx < 0.5f && dy < 0.5f) {
        c[i] = ox + (unit(engine) - 0.5f) * 4.0f;
        c[n + i] = oy + (unit(engine) - 0.5f) * 4.0f;
        c[2 * n + i] = ow * (0.95f + 0.1f * unit(engine));
        c[3 * n + i] = oh * (0.95f + 0.1f * unit(engine));
        c[(4 + k) * n + i] = 0.3f + 0.6f * (1.0f - std::max(dx, dy)) * unit(engine);
        c[(4 + classes) * n + i] = 1.0f;
      }
    }
    for (int v = 0; v < grid; ++v) {
      for (int u = 0; u < grid; ++u) {
        const float px = (static_cast<float>(u) + 0.5f) * 4.0f;
        const float py = (static_cast<float>(v) + 0.5f) * 4.0f;
        const float ex = (px - ox) / (0.5f * ow);
        const float ey = (py - oy) / (0.5f * oh);
        if (ex * ex + ey * ey < 1.0f) {
          w->prototypes[static_cast<std::size_t>(v * grid + u)] = 4.0f;
        }
      }
    }
  }
  return w;
}

quelt_layout layout_of(const segment_workload& w) {
  quelt_layout layout;
  quelt_layout_columns(&layout, w.columns.data(), 1, w.candidates, classes);
  layout.extras = quelt_view{w.columns.data() + (4 + classes) * w.candidates, 0, 1, w.candidates};
  layout.extras_count = channels;
  return layout;
}

object_handler decode(const segment_workload& w) {
  const quelt_layout layout = layout_of(w);
  const float score = 0.25f;
  const float iou = 0.45f;
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = size;
  options.network_height = size;
  options.score_thresholds = &score;
  options.iou_thresholds = &iou;
  options.geometry = &w.geometry;
  options.details = 1;
  object_handler handler{nullptr, detections_batch};
  return_status status = quelt_decode(&layout, &options, &handler);
  if (status.status_code != 1) {
    std::abort();
  }
  return handler;
}

quelt_mask_request request_of(const segment_workload& w, std::int32_t kind) {
  quelt_mask_request request;
  quelt_mask_request_init(&request);
  request.kind = kind;
  request.prototypes = quelt_grid_view{w.prototypes.data(), channels * grid * grid, grid, 1,
                                       grid * grid,         quelt_element{}};
  request.prototype_channels = channels;
  request.prototype_height = grid;
  request.prototype_width = grid;
  return request;
}

// The library's masks of image 0: the size, then the masks, into buffers
// kept from call to call as an application would.
std::uint64_t library_masks(const segment_workload& w, std::int32_t kind,
                            std::vector<unsigned char>& values,
                            std::vector<quelt_mask_region>& regions) {
  quelt_mask_request request = request_of(w, kind);
  std::uint64_t bytes = 0;
  return_status status = quelt_batch_masks_size(w.batch, 0, &request, &bytes);
  if (status.status_code != 1) {
    std::abort();
  }
  values.resize(bytes);
  regions.resize(w.detections);
  request.values = values.data();
  request.values_size = bytes;
  request.regions = regions.data();
  status = quelt_batch_masks_store(w.batch, 0, &request);
  if (status.status_code != 1) {
    std::abort();
  }
  return bytes;
}

struct detection_parts {
  std::vector<float> coefficients;  // n x channels
  std::vector<float> boxes;         // n x 4, network pixels
};

detection_parts parts_of(const segment_workload& w) {
  // What the application holds after decoding: each detection's
  // coefficients and box, here taken from the batch.
  detection_parts parts;
  std::uint64_t count = 0;
  detections_batch_detections_count(w.batch, 0, &count);
  std::vector<object_detection> records(count);
  detections_batch_detections_store(w.batch, 0, records.data());
  parts.coefficients.resize(count * channels);
  quelt_batch_extras_store(w.batch, 0, parts.coefficients.data());
  const quelt_image_geometry& g = w.geometry;
  for (const object_detection& r : records) {
    parts.boxes.push_back(r.x_min * g.scale_x + g.pad_x);
    parts.boxes.push_back(r.y_min * g.scale_y + g.pad_y);
    parts.boxes.push_back(r.x_max * g.scale_x + g.pad_x);
    parts.boxes.push_back(r.y_max * g.scale_y + g.pad_y);
  }
  return parts;
}

// Bilinear resize with half-pixel centres, edges repeated.
void resize(const float* in, int in_w, int in_h, float* out, int out_w, int out_h) {
  const float sx = static_cast<float>(in_w) / static_cast<float>(out_w);
  const float sy = static_cast<float>(in_h) / static_cast<float>(out_h);
  for (int y = 0; y < out_h; ++y) {
    const float fy = std::max(0.0f, (static_cast<float>(y) + 0.5f) * sy - 0.5f);
    const int y0 = std::min(static_cast<int>(fy), in_h - 1);
    const int y1 = std::min(y0 + 1, in_h - 1);
    const float wy = fy - static_cast<float>(y0);
    for (int x = 0; x < out_w; ++x) {
      const float fx = std::max(0.0f, (static_cast<float>(x) + 0.5f) * sx - 0.5f);
      const int x0 = std::min(static_cast<int>(fx), in_w - 1);
      const int x1 = std::min(x0 + 1, in_w - 1);
      const float wx = fx - static_cast<float>(x0);
      const float top = in[y0 * in_w + x0] * (1 - wx) + in[y0 * in_w + x1] * wx;
      const float bottom = in[y1 * in_w + x0] * (1 - wx) + in[y1 * in_w + x1] * wx;
      out[y * out_w + x] = top * (1 - wy) + bottom * wy;
    }
  }
}

// The numpy-style masks at the photo's resolution, (n, 1080, 810) bytes.
std::size_t peer_masks(const segment_workload& w, const detection_parts& parts,
                       std::vector<unsigned char>& out) {
  const std::size_t n = parts.boxes.size() / 4;
  const int plane = grid * grid;
  std::vector<float> masks(n * plane, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {  // (n, 32) x (32, 25600)
    float* m = masks.data() + i * plane;
    for (int c = 0; c < channels; ++c) {
      const float k = parts.coefficients[i * channels + c];
      const float* p = w.prototypes.data() + c * plane;
      for (int j = 0; j < plane; ++j) {
        m[j] += k * p[j];
      }
    }
    for (int j = 0; j < plane; ++j) {
      m[j] = 1.0f / (1.0f + std::exp(-m[j]));
    }
    const float* b = parts.boxes.data() + 4 * i;
    for (int v = 0; v < grid; ++v) {
      for (int u = 0; u < grid; ++u) {
        const bool in = u >= b[0] / 4 && u < b[2] / 4 && v >= b[1] / 4 && v < b[3] / 4;
        if (!in) {
          m[v * grid + u] = 0.0f;
        }
      }
    }
  }
  const int pad_x = static_cast<int>(w.geometry.pad_x);
  const int pad_y = static_cast<int>(w.geometry.pad_y);
  const int inner_w = size - 2 * pad_x;
  const int inner_h = size - 2 * pad_y;
  const int out_w = static_cast<int>(photo_width);
  const int out_h = static_cast<int>(photo_height);
  std::vector<float> input(static_cast<std::size_t>(size * size));
  std::vector<float> inner(static_cast<std::size_t>(inner_w * inner_h));
  std::vector<float> photo(static_cast<std::size_t>(out_w * out_h));
  out.resize(n * photo.size());
  std::size_t on = 0;
  for (std::size_t i = 0; i < n; ++i) {
    resize(masks.data() + i * plane, grid, grid, input.data(), size, size);
    for (int y = 0; y < inner_h; ++y) {
      std::copy_n(input.data() + (y + pad_y) * size + pad_x, inner_w, inner.data() + y * inner_w);
    }
    resize(inner.data(), inner_w, inner_h, photo.data(), out_w, out_h);
    unsigned char* o = out.data() + i * photo.size();
    for (std::size_t j = 0; j < photo.size(); ++j) {
      o[j] = photo[j] > 0.5f ? 1 : 0;
      on += o[j];
    }
  }
  return on;
}

// The coefficients and the prototype pixels inside each box read once: the
// bits of every value summed as integers, which the compiler vectorises (a
// float sum it may not reorder).
std::uint32_t prototype_floor(const segment_workload& w, const detection_parts& parts) {
  std::uint32_t total = 0;
  const std::size_t n = parts.boxes.size() / 4;
  const auto bits = [](float v) {
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const float* b = parts.boxes.data() + 4 * i;
    const auto first = [](float edge) {
      return std::clamp(static_cast<int>(std::ceil(edge / 4.0f - 0.5f)), 0, grid);
    };
    const int u0 = first(b[0]), u1 = first(b[2]), v0 = first(b[1]), v1 = first(b[3]);
    for (int c = 0; c < channels; ++c) {
      total += bits(parts.coefficients[i * channels + c]);
      const float* p = w.prototypes.data() + c * grid * grid;
      for (int v = v0; v < v1; ++v) {
        const float* row = p + v * grid;
        for (int u = u0; u < u1; ++u) {
          total += bits(row[u]);
        }
      }
    }
  }
  return total;
}

void register_segmentation(const std::string& name, std::uint64_t seed, int objects) {
  segment_workload* w = make_workload(seed, objects);
  w->batch = decode(*w);
  detections_batch_detections_count(w->batch, 0, &w->detections);
  const auto* parts = new detection_parts(parts_of(*w));
  const auto detections = static_cast<double>(w->detections);
  benchmark::RegisterBenchmark((name + "-decode/library").c_str(), [=](benchmark::State& state) {
    for (auto _ : state) {
      object_handler h = decode(*w);
      object_handler_destroy(h);
    }
    state.counters["detections"] = detections;
  });
  for (std::int32_t kind : {QUELT_MASK_ORIGINAL_BINARY, QUELT_MASK_PROTOTYPE_PROBABILITIES}) {
    const std::string form =
        kind == QUELT_MASK_ORIGINAL_BINARY ? "-masks-original" : "-masks-prototype";
    benchmark::RegisterBenchmark((name + form + "/library").c_str(), [=](benchmark::State& state) {
      std::vector<unsigned char> values;
      std::vector<quelt_mask_region> regions;
      std::uint64_t bytes = 0;
      for (auto _ : state) {
        bytes = library_masks(*w, kind, values, regions);
        benchmark::DoNotOptimize(values.data());
      }
      state.counters["detections"] = detections;
      state.counters["bytes"] = static_cast<double>(bytes);
    });
  }
  benchmark::RegisterBenchmark((name + "-masks-original/peer").c_str(),
                               [=](benchmark::State& state) {
                                 std::vector<unsigned char> out;
                                 for (auto _ : state) {
                                   benchmark::DoNotOptimize(peer_masks(*w, *parts, out));
                                 }
                                 state.counters["detections"] = detections;
                               });
  benchmark::RegisterBenchmark((name + "-masks-prototype/floor").c_str(),
                               [=](benchmark::State& state) {
                                 for (auto _ : state) {
                                   benchmark::DoNotOptimize(prototype_floor(*w, *parts));
                                 }
                                 state.counters["detections"] = detections;
                               });
}

const bool registered = [] {
  register_segmentation("S1", 17, 8);
  register_segmentation("S2", 29, 4);
  return true;
}();

}  // namespace

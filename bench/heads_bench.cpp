// The heads entry on the raw anchor-free export, columns (batch, 4 + 80, N),
// decoded by the library and by the literal reference, beside its floor: one
// pass that reads every class score, class by class along the candidates, and
// compares it with the threshold. Registered when the binary starts, so
// bench/report tabulates these workloads with the others.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quelt/quelt.h"
#include "reference/reference.hpp"
#include "allocations.hpp"
#include "floors.hpp"
#include "workloads.hpp"

namespace {

constexpr std::int32_t classes = 80;

struct columns_workload {
  std::vector<float> values;  // (batch, 4 + classes, candidates)
  std::int64_t batch = 0;
  std::int64_t candidates = 0;
  std::int32_t size = 0;  // network input, square
};

// Candidates on three grids (strides 8, 16, 32) as the anchor-free heads lay
// them out; a few dozen objects per image, each scored high by the candidates
// whose centre falls inside it, over a background of small scores of which
// about 3% exceed 0.001.
columns_workload make_columns(std::int64_t batch, std::int32_t size, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  columns_workload w;
  w.batch = batch;
  w.size = size;
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
  const auto n = static_cast<std::int64_t>(cx.size());
  w.candidates = n;
  w.values.resize(static_cast<std::size_t>(batch * (4 + classes) * n));
  for (std::int64_t b = 0; b < batch; ++b) {
    float* image = w.values.data() + b * (4 + classes) * n;
    for (std::int64_t i = 0; i < n; ++i) {
      image[i] = cx[i] + (unit(engine) - 0.5f) * stride_of[i];
      image[n + i] = cy[i] + (unit(engine) - 0.5f) * stride_of[i];
      image[2 * n + i] = stride_of[i] * (1.0f + 3.0f * unit(engine));
      image[3 * n + i] = stride_of[i] * (1.0f + 3.0f * unit(engine));
      for (std::int32_t k = 0; k < classes; ++k) {
        const float u = unit(engine);
        image[(4 + k) * n + i] = u < 0.97f ? std::pow(10.0f, -6.0f + 3.0f * unit(engine))
                                           : 0.001f + 0.05f * unit(engine);
      }
    }
    for (int o = 0; o < 30; ++o) {
      const float ox = unit(engine) * static_cast<float>(size);
      const float oy = unit(engine) * static_cast<float>(size);
      const float ow = 20.0f + unit(engine) * 150.0f;
      const float oh = 20.0f + unit(engine) * 150.0f;
      const auto k = static_cast<std::int32_t>(unit(engine) * classes) % classes;
      for (std::int64_t i = 0; i < n; ++i) {
        const float dx = std::fabs(cx[i] - ox) / (0.5f * ow);
        const float dy = std::fabs(cy[i] - oy) / (0.5f * oh);
        if (dx < 1.0f && dy < 1.0f) {
          image[i] = ox + (unit(engine) - 0.5f) * 4.0f;
          image[n + i] = oy + (unit(engine) - 0.5f) * 4.0f;
          image[2 * n + i] = ow * (0.8f + 0.4f * unit(engine));
          image[3 * n + i] = oh * (0.8f + 0.4f * unit(engine));
          image[(4 + k) * n + i] = 0.95f * (1.0f - 0.7f * std::max(dx, dy)) * unit(engine);
        }
      }
    }
  }
  return w;
}

quelt_layout layout_of(const columns_workload& w) {
  quelt_layout layout;
  quelt_layout_columns(&layout, w.values.data(), w.batch, w.candidates, classes);
  return layout;
}

quelt_decode_options options_of(const columns_workload& w, const std::vector<float>& scores,
                                const std::vector<float>& ious, std::int32_t cap) {
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = w.size;
  options.network_height = w.size;
  options.score_thresholds = scores.data();
  options.iou_thresholds = ious.data();
  options.max_detections = cap;
  return options;
}

std::size_t decode_library(const columns_workload& w, float conf, float nms, std::int32_t cap) {
  return quelt_bench::decode_columns(w.values.data(), w.batch, w.candidates, classes, w.size,
                                     w.size, conf, nms, cap);
}

std::size_t decode_reference(const columns_workload& w, float conf, float nms, std::int32_t cap) {
  const std::vector<float> scores(static_cast<std::size_t>(w.batch), conf);
  const std::vector<float> ious(static_cast<std::size_t>(w.batch), nms);
  const auto result = quelt_reference::decode_heads(layout_of(w), options_of(w, scores, ious, cap));
  std::size_t total = 0;
  for (const auto& image : result) {
    total += image.size();
  }
  return total;
}

// Every class score read once, in memory order, and compared: four at a
// time, counting without a branch, so no exact decoder can beat it.
std::uint64_t columns_floor(const columns_workload& w, float conf) {
  std::uint64_t passing = 0;
  const std::int64_t count = classes * w.candidates;
  for (std::int64_t b = 0; b < w.batch; ++b) {
    passing += quelt_bench::count_above(w.values.data() + (b * (4 + classes) + 4) * w.candidates,
                                        count, conf);
  }
  return passing;
}

// `cap`: max_detections per image, 0 for none; `exact_floor`: also time the
// exact floor (low thresholds).
void register_columns(const std::string& name, const columns_workload* w, float conf,
                      std::int32_t cap, bool exact_floor = false) {
  const auto candidates = static_cast<double>(columns_floor(*w, conf));
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_library(*w, conf, 0.45f, cap);
      benchmark::DoNotOptimize(found);
    }
    const quelt_bench::allocation_profile profile =
        quelt_bench::measure_allocations([&] { decode_library(*w, conf, 0.45f, cap); });
    state.counters["alloc_count"] = static_cast<double>(profile.count);
    state.counters["alloc_peak"] = static_cast<double>(profile.peak_bytes);
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
  if (exact_floor) {
    auto* scratch = new quelt_bench::floor_scratch;
    benchmark::RegisterBenchmark((name + "/floor-exact").c_str(), [=](benchmark::State& state) {
      std::size_t written = 0;
      for (auto _ : state) {
        written = quelt_bench::columns_exact_floor(w->values.data(), w->batch, w->candidates,
                                                   classes, conf, *scratch);
        benchmark::DoNotOptimize(written);
      }
      state.counters["candidates"] = candidates;
    });
  }
  benchmark::RegisterBenchmark((name + "/reference").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_reference(*w, conf, 0.45f, cap);
      benchmark::DoNotOptimize(found);
    }
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
  benchmark::RegisterBenchmark((name + "/floor").c_str(), [=](benchmark::State& state) {
    std::uint64_t passing = 0;
    for (auto _ : state) {
      passing = columns_floor(*w, conf);
      benchmark::DoNotOptimize(passing);
    }
    state.counters["candidates"] = static_cast<double>(passing);
  });
}

// A columns workload stored as float16 (nearest), as fp16 engines return it.
struct half_columns {
  std::vector<std::uint16_t> values;
  const columns_workload* source;
};

half_columns to_half(const columns_workload* w) {
  half_columns h{{}, w};
  h.values.reserve(w->values.size());
  for (const float v : w->values) {
    const auto half = static_cast<_Float16>(v);
    std::uint16_t bits;
    std::memcpy(&bits, &half, sizeof bits);
    h.values.push_back(bits);
  }
  return h;
}

std::size_t decode_half(const half_columns& h, float conf) {
  const columns_workload& w = *h.source;
  quelt_layout layout;
  quelt_layout_columns(&layout, reinterpret_cast<const float*>(h.values.data()), w.batch,
                       w.candidates, classes);
  // The helper counts its offsets in floats: the scores start 4 x N halves in.
  layout.scores.data = reinterpret_cast<const float*>(h.values.data() + 4 * w.candidates);
  layout.boxes_element.type = QUELT_ELEMENT_FLOAT16;
  layout.scores_element.type = QUELT_ELEMENT_FLOAT16;
  const std::vector<float> scores(static_cast<std::size_t>(w.batch), conf);
  const std::vector<float> ious(static_cast<std::size_t>(w.batch), 0.45f);
  const quelt_decode_options options = options_of(w, scores, ious, 0);
  object_handler handle{};
  const return_status status = quelt_decode(&layout, &options, &handle);
  std::uint64_t total = 0;
  for (std::int64_t b = 0; status.status_code == 1 && b < w.batch; ++b) {
    std::uint64_t count = 0;
    done_return_status(
        detections_batch_detections_count(handle, static_cast<std::uint64_t>(b), &count));
    total += count;
  }
  done_return_status(status);
  object_handler_destroy(handle);
  return total;
}

// Every float16 class score read once and compared with the threshold's
// bits (the scores are positive, so their bits order as their values).
std::uint64_t half_floor(const half_columns& h, float conf) {
  const columns_workload& w = *h.source;
  const auto limit_half = static_cast<_Float16>(conf);
  std::int16_t limit;
  std::memcpy(&limit, &limit_half, sizeof limit);
  std::uint64_t passing = 0;
  const std::int64_t count = classes * w.candidates;
  for (std::int64_t b = 0; b < w.batch; ++b) {
    const std::uint16_t* scores = h.values.data() + (b * (4 + classes) + 4) * w.candidates;
    std::int64_t v = 0;
#if defined(__SSE2__)
    const __m128i edge = _mm_set1_epi16(limit);
    while (v + 8 <= count) {
      __m128i counted = _mm_setzero_si128();
      for (int inner = 0; inner < 4096 && v + 8 <= count; ++inner, v += 8) {
        counted = _mm_sub_epi16(
            counted,
            _mm_cmpgt_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(scores + v)), edge));
      }
      std::uint16_t lanes[8];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), counted);
      for (const std::uint16_t lane : lanes) {
        passing += lane;
      }
    }
#endif
    for (; v < count; ++v) {
      passing += static_cast<std::int16_t>(scores[v]) > limit ? 1 : 0;
    }
  }
  return passing;
}

void register_half(const std::string& name, const half_columns* h, float conf) {
  const auto candidates = static_cast<double>(half_floor(*h, conf));
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_half(*h, conf);
      benchmark::DoNotOptimize(found);
    }
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
  benchmark::RegisterBenchmark((name + "/floor").c_str(), [=](benchmark::State& state) {
    std::uint64_t passing = 0;
    for (auto _ : state) {
      passing = half_floor(*h, conf);
      benchmark::DoNotOptimize(passing);
    }
    state.counters["candidates"] = static_cast<double>(passing);
  });
}

[[maybe_unused]] const bool registered = [] {
  const auto* one = new columns_workload(make_columns(1, 640, 11));
  const auto* large = new columns_workload(make_columns(1, 1280, 12));
  const auto* eight = new columns_workload(make_columns(8, 640, 13));
  register_columns("H1-columns-8400", one, 0.25f, 0);
  register_columns("H2-columns-8400-low", one, 0.001f, 0, true);
  register_columns("H3-columns-33600", large, 0.25f, 0);
  register_columns("H4-columns-8400x8", eight, 0.25f, 0);
  // The usual setting of accuracy evaluation: a low threshold, at most 300.
  register_columns("H5-columns-8400-low-cap300", one, 0.001f, 300, true);
  // H1 as float16 (1, 84, 8400), as fp16 engines hand it out.
  register_half("H6-columns-8400-f16", new half_columns(to_half(one)), 0.25f);
  return true;
}();

}  // namespace

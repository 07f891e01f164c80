// Raw per-level heads through quelt_decode_levels: three levels of a 640 x
// 640 input (80 x 80, 40 x 40, 20 x 20 cells at strides 8, 16, 32), 16 bins a
// side, 80 classes of logits, NCHW, as float32 and quantized per tensor to
// int8. Beside the library: the literal reference (float32 only), the floor
// (every class value read once and compared with a constant, in its own
// element type), the exact floor (that, plus the box values of the cells
// that pass) and the loop users write around such heads ("loop": every
// value converted, the logistic of every class, the softmax of every cell,
// then class-wise greedy suppression). Registered when the binary starts.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quelt/quelt.h"
#include "reference/reference.hpp"
#include "workloads.hpp"

namespace {

constexpr std::int32_t classes = 80;
constexpr std::int32_t bins = 16;
constexpr std::int32_t size = 640;
constexpr std::int32_t strides[3] = {8, 16, 32};

struct level_maps {
  std::int64_t grid = 0;
  std::vector<float> box;  // (1, 64, grid, grid)
  std::vector<float> cls;  // (1, 80, grid, grid)
  std::vector<std::int8_t> box_q;
  std::vector<std::int8_t> cls_q;
  quelt_element box_e{};
  quelt_element cls_e{};
};

struct levels_workload {
  std::vector<level_maps> levels;
};

// Per-tensor asymmetric int8 from the tensor's range, as calibration does.
void quantize(const std::vector<float>& values, std::vector<std::int8_t>& out,
              quelt_element& element) {
  const float lo = std::min(0.0f, *std::min_element(values.begin(), values.end()));
  const float hi = std::max(0.0f, *std::max_element(values.begin(), values.end()));
  const float scale = (hi - lo) / 255.0f;
  const auto zero = static_cast<std::int32_t>(std::lround(-128.0f - lo / scale));
  element = quelt_element{QUELT_ELEMENT_INT8, std::clamp(zero, -128, 127), scale, 0};
  out.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto q = static_cast<std::int32_t>(std::lround(values[i] / scale)) + element.zero_point;
    out[i] = static_cast<std::int8_t>(std::clamp(q, -128, 127));
  }
}

// Thirty objects over background logits around -10.5 (about 0.1% of them,
// in about one cell in ten, above the logit of 0.001), each object's class
// rising towards its centre so that the cells nearest it pass 0.25 (about 20
// an object over the three levels), and box distributions peaking at the
// distances to the object's edges: the proportions the real YOLOv8n heads of
// ../shared/fixtures/real-modern show (1 to 2% of the cells above 0.25, 3 to
// 20% above 0.001).
levels_workload make_levels(std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  struct object {
    float x, y, w, h;
    std::int32_t k;
  };
  std::vector<object> objects;
  for (int o = 0; o < 30; ++o) {
    objects.push_back(object{unit(engine) * size, unit(engine) * size,
                             20.0f + unit(engine) * 150.0f, 20.0f + unit(engine) * 150.0f,
                             static_cast<std::int32_t>(unit(engine) * classes) % classes});
  }
  levels_workload w;
  for (int l = 0; l < 3; ++l) {
    level_maps m;
    m.grid = size / strides[l];
    const std::int64_t plane = m.grid * m.grid;
    m.box.resize(static_cast<std::size_t>(4 * bins * plane));
    m.cls.resize(static_cast<std::size_t>(classes * plane));
    for (float& v : m.box) {
      v = normal(engine);
    }
    for (float& v : m.cls) {
      v = -10.5f + 1.2f * normal(engine);
    }
    const auto s = static_cast<float>(strides[l]);
    for (std::int64_t y = 0; y < m.grid; ++y) {
      for (std::int64_t x = 0; x < m.grid; ++x) {
        const float ax = (static_cast<float>(x) + 0.5f) * s;
        const float ay = (static_cast<float>(y) + 0.5f) * s;
        for (const object& o : objects) {
          const float dx = std::fabs(ax - o.x) / (0.5f * o.w);
          const float dy = std::fabs(ay - o.y) / (0.5f * o.h);
          if (dx >= 1.0f || dy >= 1.0f) {
            continue;
          }
          m.cls[static_cast<std::size_t>(o.k * plane + y * m.grid + x)] =
              8.0f * (0.35f - std::max(dx, dy)) - 1.1f + 0.5f * normal(engine);
          const float sides[4] = {ax - (o.x - 0.5f * o.w), ay - (o.y - 0.5f * o.h),
                                  o.x + 0.5f * o.w - ax, o.y + 0.5f * o.h - ay};
          for (int side = 0; side < 4; ++side) {
            const float d = std::min(sides[side] / s, static_cast<float>(bins - 1));
            const auto k = static_cast<std::int64_t>(d);
            m.box[static_cast<std::size_t>((side * bins + k) * plane + y * m.grid + x)] += 6.0f;
          }
        }
      }
    }
    quantize(m.box, m.box_q, m.box_e);
    quantize(m.cls, m.cls_q, m.cls_e);
    w.levels.push_back(std::move(m));
  }
  return w;
}

std::vector<quelt_level> describe(const levels_workload& w, bool int8) {
  std::vector<quelt_level> levels(3);
  for (std::size_t l = 0; l < 3; ++l) {
    const level_maps& m = w.levels[l];
    const std::int64_t plane = m.grid * m.grid;
    levels[l].height = m.grid;
    levels[l].width = m.grid;
    levels[l].stride = strides[l];
    const auto* box = int8 ? reinterpret_cast<const float*>(m.box_q.data()) : m.box.data();
    const auto* cls = int8 ? reinterpret_cast<const float*>(m.cls_q.data()) : m.cls.data();
    levels[l].boxes =
        quelt_grid_view{box, 4 * bins * plane, m.grid, 1, plane, int8 ? m.box_e : quelt_element{}};
    levels[l].scores =
        quelt_grid_view{cls, classes * plane, m.grid, 1, plane, int8 ? m.cls_e : quelt_element{}};
  }
  return levels;
}

quelt_levels heads_of(const std::vector<quelt_level>& levels) {
  quelt_levels heads;
  quelt_levels_init(&heads);
  heads.score_coding = QUELT_SCORES_LOGITS;
  heads.batch = 1;
  heads.classes = classes;
  heads.bins = bins;
  heads.level_count = 3;
  heads.levels = levels.data();
  return heads;
}

quelt_decode_options options_of(const float* score, const float* iou) {
  quelt_decode_options options;
  quelt_decode_options_init(&options);
  options.network_width = size;
  options.network_height = size;
  options.score_thresholds = score;
  options.iou_thresholds = iou;
  return options;
}

std::size_t decode_library(const std::vector<quelt_level>& levels, float conf) {
  const float iou = 0.45f;
  const quelt_levels heads = heads_of(levels);
  const quelt_decode_options options = options_of(&conf, &iou);
  object_handler handle{};
  const return_status status = quelt_decode_levels(&heads, &options, &handle);
  std::uint64_t count = 0;
  if (status.status_code == 1) {
    done_return_status(detections_batch_detections_count(handle, 0, &count));
  }
  done_return_status(status);
  object_handler_destroy(handle);
  return count;
}

std::size_t decode_reference(const std::vector<quelt_level>& levels, float conf) {
  const float iou = 0.45f;
  return quelt_reference::decode_levels(heads_of(levels), options_of(&conf, &iou))[0].size();
}

// Every class value read once in memory order and compared with the logit
// of the threshold, counting without a branch.
std::uint64_t floor_float(const levels_workload& w, float logit) {
  std::uint64_t passing = 0;
  for (const level_maps& m : w.levels) {
    passing +=
        quelt_bench::count_above(m.cls.data(), static_cast<std::int64_t>(m.cls.size()), logit);
  }
  return passing;
}

// The same over the int8 class maps, against the integer of the logit.
std::uint64_t floor_int8(const levels_workload& w, float logit) {
  std::uint64_t passing = 0;
  for (const level_maps& m : w.levels) {
    const std::int8_t* v = m.cls_q.data();
    const auto count = static_cast<std::int64_t>(m.cls_q.size());
    const auto cut = static_cast<std::int8_t>(std::clamp(
        static_cast<int>(std::floor(logit / m.cls_e.scale)) + m.cls_e.zero_point, -128, 127));
    std::int64_t i = 0;
#if defined(__SSE2__)
    const __m128i limit = _mm_set1_epi8(cut);
    __m128i counted = _mm_setzero_si128();
    std::uint64_t inner = 0;
    for (; i + 16 <= count; i += 16) {
      const __m128i more =
          _mm_cmpgt_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)), limit);
      counted = _mm_sub_epi8(counted, more);
      if (++inner == 255) {  // before a byte lane overflows
        counted = _mm_sad_epu8(counted, _mm_setzero_si128());
        passing += static_cast<std::uint64_t>(_mm_cvtsi128_si32(counted)) +
                   static_cast<std::uint64_t>(_mm_extract_epi16(counted, 4));
        counted = _mm_setzero_si128();
        inner = 0;
      }
    }
    counted = _mm_sad_epu8(counted, _mm_setzero_si128());
    passing += static_cast<std::uint64_t>(_mm_cvtsi128_si32(counted)) +
               static_cast<std::uint64_t>(_mm_extract_epi16(counted, 4));
#endif
    for (; i < count; ++i) {
      passing += v[i] > cut ? 1 : 0;
    }
  }
  return passing;
}

// What any exact answer must do at the least: every class value read once
// (a running maximum per cell, four or sixteen lanes at a time) and the
// cells whose maximum passes found, then the 4 x bins box values of those
// cells read (converted) plane by plane in address order, and one record
// written per cell; no exponential, no ranking, no suppression.
std::uint64_t floor_exact(const levels_workload& w, bool int8, float logit, std::vector<float>& top,
                          std::vector<std::uint32_t>& cells, std::vector<float>& sums) {
  std::uint64_t records = 0;
  for (const level_maps& m : w.levels) {
    const auto plane = static_cast<std::size_t>(m.grid * m.grid);
    top.assign(plane, -INFINITY);
    cells.clear();
    if (int8) {
      // Codes plus 128 order as their values: the top code per cell.
      const auto cut = static_cast<std::uint8_t>(
          std::clamp(static_cast<int>(std::floor(logit / m.cls_e.scale)) + m.cls_e.zero_point, -128,
                     127) +
          128);
      auto* best = reinterpret_cast<std::uint8_t*>(top.data());
      const auto* codes = reinterpret_cast<const std::uint8_t*>(m.cls_q.data());
      std::size_t i = 0;
#if defined(__SSE2__)
      // 64 cells at a time, their top codes held in registers over the
      // classes (signed bytes compared as unsigned after the flip).
      const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
      const auto at = [&](std::size_t where) {
        return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + where)),
                             flip);
      };
      for (; i + 64 <= plane; i += 64) {
        __m128i t0 = _mm_setzero_si128();
        __m128i t1 = t0;
        __m128i t2 = t0;
        __m128i t3 = t0;
        for (std::size_t k = 0; k < static_cast<std::size_t>(classes); ++k) {
          const std::size_t from = k * plane + i;
          t0 = _mm_max_epu8(t0, at(from));
          t1 = _mm_max_epu8(t1, at(from + 16));
          t2 = _mm_max_epu8(t2, at(from + 32));
          t3 = _mm_max_epu8(t3, at(from + 48));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(best + i), t0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(best + i + 16), t1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(best + i + 32), t2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(best + i + 48), t3);
      }
#endif
      for (; i < plane; ++i) {
        best[i] = 0;
        for (std::size_t k = 0; k < static_cast<std::size_t>(classes); ++k) {
          best[i] = std::max(best[i], static_cast<std::uint8_t>(codes[k * plane + i] ^ 0x80));
        }
      }
      for (std::size_t i = 0; i < plane; ++i) {
        if (best[i] > cut) {
          cells.push_back(static_cast<std::uint32_t>(i));
        }
      }
    } else {
      std::size_t i = 0;
#if defined(__SSE2__)
      // Sixteen cells at a time, their maxima held in registers over the
      // classes.
      for (; i + 16 <= plane; i += 16) {
        __m128 t0 = _mm_set1_ps(-INFINITY);
        __m128 t1 = t0;
        __m128 t2 = t0;
        __m128 t3 = t0;
        for (std::size_t k = 0; k < static_cast<std::size_t>(classes); ++k) {
          const float* v = m.cls.data() + k * plane + i;
          t0 = _mm_max_ps(t0, _mm_loadu_ps(v));
          t1 = _mm_max_ps(t1, _mm_loadu_ps(v + 4));
          t2 = _mm_max_ps(t2, _mm_loadu_ps(v + 8));
          t3 = _mm_max_ps(t3, _mm_loadu_ps(v + 12));
        }
        _mm_storeu_ps(top.data() + i, t0);
        _mm_storeu_ps(top.data() + i + 4, t1);
        _mm_storeu_ps(top.data() + i + 8, t2);
        _mm_storeu_ps(top.data() + i + 12, t3);
      }
#endif
      for (; i < plane; ++i) {
        for (std::size_t k = 0; k < static_cast<std::size_t>(classes); ++k) {
          top[i] = std::max(top[i], m.cls[k * plane + i]);
        }
      }
      for (std::size_t i = 0; i < plane; ++i) {
        if (top[i] > logit) {
          cells.push_back(static_cast<std::uint32_t>(i));
        }
      }
    }
    sums.assign(cells.size(), 0.0f);
    for (std::size_t c = 0; c < static_cast<std::size_t>(4 * bins); ++c) {
      if (int8) {
        const std::int8_t* v = m.box_q.data() + c * plane;
        for (std::size_t j = 0; j < cells.size(); ++j) {
          sums[j] += static_cast<float>(v[cells[j]] - m.box_e.zero_point) * m.box_e.scale;
        }
      } else {
        const float* v = m.box.data() + c * plane;
        for (std::size_t j = 0; j < cells.size(); ++j) {
          sums[j] += v[cells[j]];
        }
      }
    }
    records += cells.size();
  }
  return records;
}

// The loop users write: every value converted, the logistic of every class,
// the softmax and expectation of every cell, then per class a greedy
// suppression of the boxes sorted by score.
std::size_t user_loop(const levels_workload& w, bool int8, float conf) {
  struct found {
    float x0, y0, x1, y1, score;
    std::int32_t k;
  };
  std::vector<found> boxes;
  std::vector<float> values(static_cast<std::size_t>(bins));
  for (int l = 0; l < 3; ++l) {
    const level_maps& m = w.levels[static_cast<std::size_t>(l)];
    const std::int64_t plane = m.grid * m.grid;
    const auto box_value = [&](std::int64_t i) {
      return int8 ? static_cast<float>(m.box_q[static_cast<std::size_t>(i)] - m.box_e.zero_point) *
                        m.box_e.scale
                  : m.box[static_cast<std::size_t>(i)];
    };
    const auto cls_value = [&](std::int64_t i) {
      return int8 ? static_cast<float>(m.cls_q[static_cast<std::size_t>(i)] - m.cls_e.zero_point) *
                        m.cls_e.scale
                  : m.cls[static_cast<std::size_t>(i)];
    };
    const auto s = static_cast<float>(strides[l]);
    for (std::int64_t cell = 0; cell < plane; ++cell) {
      float best = -1.0f;
      std::int32_t best_k = 0;
      for (std::int32_t k = 0; k < classes; ++k) {
        const float p = 1.0f / (1.0f + std::exp(-cls_value(k * plane + cell)));
        if (p > best) {
          best = p;
          best_k = k;
        }
      }
      float d[4];
      for (int side = 0; side < 4; ++side) {
        float top = -INFINITY;
        for (std::int32_t k = 0; k < bins; ++k) {
          values[static_cast<std::size_t>(k)] = box_value((side * bins + k) * plane + cell);
          top = std::max(top, values[static_cast<std::size_t>(k)]);
        }
        float total = 0.0f;
        float sum = 0.0f;
        for (std::int32_t k = 0; k < bins; ++k) {
          const float e = std::exp(values[static_cast<std::size_t>(k)] - top);
          total += e;
          sum += static_cast<float>(k) * e;
        }
        d[side] = sum / total;
      }
      if (best > conf) {
        const float ax = (static_cast<float>(cell % m.grid) + 0.5f) * s;
        const float ay = (static_cast<float>(cell / m.grid) + 0.5f) * s;
        boxes.push_back(
            found{ax - d[0] * s, ay - d[1] * s, ax + d[2] * s, ay + d[3] * s, best, best_k});
      }
    }
  }
  std::stable_sort(boxes.begin(), boxes.end(),
                   [](const found& a, const found& b) { return a.score > b.score; });
  std::vector<const found*> kept;
  for (const found& b : boxes) {
    bool keep = true;
    for (const found* k : kept) {
      if (k->k != b.k) {
        continue;
      }
      const float iw = std::min(k->x1, b.x1) - std::max(k->x0, b.x0);
      const float ih = std::min(k->y1, b.y1) - std::max(k->y0, b.y0);
      if (iw <= 0.0f || ih <= 0.0f) {
        continue;
      }
      const float inter = iw * ih;
      const float uni = (k->x1 - k->x0) * (k->y1 - k->y0) + (b.x1 - b.x0) * (b.y1 - b.y0) - inter;
      if (inter / uni > 0.45f) {
        keep = false;
        break;
      }
    }
    if (keep) {
      kept.push_back(&b);
    }
  }
  return kept.size();
}

void register_levels(const std::string& name, const levels_workload* w, bool int8, float conf,
                     bool with_reference) {
  const float logit = std::log(conf / (1.0f - conf));
  const auto candidates =
      static_cast<double>(int8 ? floor_int8(*w, logit) : floor_float(*w, logit));
  const auto* levels = new std::vector<quelt_level>(describe(*w, int8));
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_library(*levels, conf);
      benchmark::DoNotOptimize(found);
    }
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
  if (with_reference) {
    benchmark::RegisterBenchmark((name + "/reference").c_str(), [=](benchmark::State& state) {
      std::size_t found = 0;
      for (auto _ : state) {
        found = decode_reference(*levels, conf);
        benchmark::DoNotOptimize(found);
      }
      state.counters["detections"] = static_cast<double>(found);
      state.counters["candidates"] = candidates;
    });
  }
  benchmark::RegisterBenchmark((name + "/floor").c_str(), [=](benchmark::State& state) {
    std::uint64_t passing = 0;
    for (auto _ : state) {
      passing = int8 ? floor_int8(*w, logit) : floor_float(*w, logit);
      benchmark::DoNotOptimize(passing);
    }
    state.counters["candidates"] = candidates;
  });
  benchmark::RegisterBenchmark((name + "/floor-exact").c_str(), [=](benchmark::State& state) {
    std::vector<float> top;
    std::vector<std::uint32_t> open;
    std::vector<float> sums;
    std::uint64_t cells = 0;
    for (auto _ : state) {
      cells = floor_exact(*w, int8, logit, top, open, sums);
      benchmark::DoNotOptimize(sums.data());
    }
    state.counters["candidates"] = candidates;
    state.counters["cells"] = static_cast<double>(cells);
  });
  benchmark::RegisterBenchmark((name + "/loop").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = user_loop(*w, int8, conf);
      benchmark::DoNotOptimize(found);
    }
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
}

[[maybe_unused]] const bool registered = [] {
  const auto* heads = new levels_workload(make_levels(21));
  register_levels("L1-levels-640-f32", heads, false, 0.25f, true);
  register_levels("L2-levels-640-int8", heads, true, 0.25f, false);
  register_levels("L3-levels-640-f32-low", heads, false, 0.001f, false);
  register_levels("L4-levels-640-int8-low", heads, true, 0.001f, false);
  return true;
}();

}  // namespace

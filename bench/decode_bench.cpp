// Each workload decoded by the library and by the literal reference in the
// same process, beside its floor: one pass that reads every record's
// objectness and compares it with a constant; at low thresholds also beside
// the exact floor (floors.hpp), which does only what any exact answer must
// do there. With OpenCV installed, the sealed workloads also go through the
// loop OpenCV users write. Each library call's heap use (allocations, peak
// bytes) is measured once per repetition, outside the timing. bench/report
// turns the results into tables of ratios and sweeps of time per candidate.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#if defined(QUELT_BENCH_OPENCV)
#include "opencv_peer.hpp"
#endif
#include "reference/reference.hpp"
#include "support/fixtures.hpp"
#include "npy/npy.hpp"
#include "allocations.hpp"
#include "floors.hpp"
#include "workloads.hpp"

namespace {

using quelt_bench::columns_workload;
using quelt_bench::darknet_workload;
using quelt_bench::sealed_workload;

// The heap use of one more call, as counters beside the timing.
template <class Call>
void count_allocations(benchmark::State& state, Call&& call) {
  const quelt_bench::allocation_profile profile = quelt_bench::measure_allocations(call);
  state.counters["alloc_count"] = static_cast<double>(profile.count);
  state.counters["alloc_peak"] = static_cast<double>(profile.peak_bytes);
}

std::size_t decode_darknet(const darknet_workload& w, float conf, float nms) {
  std::vector<float> conf_thresholds(w.batch, conf);
  std::vector<float> nms_thresholds(w.batch, nms);
  object_handler handler{};
  return_status status =
      process_yolo_detections(w.layers.data(), w.layers.size(), w.net, conf_thresholds.data(),
                              nms_thresholds.data(), &handler);
  return quelt_bench::count_and_release(status, handler, static_cast<std::uint64_t>(w.batch));
}

std::size_t decode_darknet_reference(darknet_workload& w, float conf, float nms) {
  std::vector<float> conf_thresholds(w.batch, conf);
  std::vector<float> nms_thresholds(w.batch, nms);
  const auto result = quelt_reference::process_yolo_detections(
      w.layers.data(), w.layers.size(), w.net, conf_thresholds.data(), nms_thresholds.data());
  std::size_t total = 0;
  for (const auto& image : result) {
    total += image.size();
  }
  return total;
}

std::uint64_t darknet_floor(const darknet_workload& w, float raw_cut) {
  std::uint64_t passing = 0;
  for (const yolo_output& layer : w.layers) {
    const std::uint64_t records =
        layer.output.batch * layer.output.width * layer.output.height * layer.mask_size;
    passing += quelt_bench::count_passing(layer.output.data, records,
                                          static_cast<std::size_t>(layer.classes) + 5, raw_cut);
  }
  return passing;
}

float logit(float p) {
  return std::log(p / (1.0f - p));
}

void register_darknet(const std::string& name, darknet_workload* w, float conf, float nms,
                      bool exact_floor = false) {
  const float cut = logit(conf);
  const auto candidates = static_cast<double>(darknet_floor(*w, cut));
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_darknet(*w, conf, nms);
      benchmark::DoNotOptimize(found);
    }
    count_allocations(state, [&] { decode_darknet(*w, conf, nms); });
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
  if (exact_floor) {
    auto* scratch = new quelt_bench::floor_scratch;
    benchmark::RegisterBenchmark((name + "/floor-exact").c_str(), [=](benchmark::State& state) {
      std::size_t written = 0;
      for (auto _ : state) {
        written = quelt_bench::darknet_exact_floor(w->layers, conf, *scratch);
        benchmark::DoNotOptimize(written);
      }
      state.counters["candidates"] = candidates;
    });
  }
  benchmark::RegisterBenchmark((name + "/reference").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_darknet_reference(*w, conf, nms);
      benchmark::DoNotOptimize(found);
    }
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
  benchmark::RegisterBenchmark((name + "/floor").c_str(), [=](benchmark::State& state) {
    std::uint64_t passing = 0;
    for (auto _ : state) {
      passing = darknet_floor(*w, cut);
      benchmark::DoNotOptimize(passing);
    }
    state.counters["candidates"] = static_cast<double>(passing);
  });
}

// The sealed decoder rewrites the class scores of the rows that pass, so
// each timed call starts from a tensor restored outside the timing.
struct sealed_run {
  const sealed_workload* w;
  float conf;
  float nms;
  std::vector<float> tensor;
  std::vector<std::size_t> rewritten;  // rows whose scores a call rewrites

  void restore() {
    const std::size_t stride = static_cast<std::size_t>(w->classes) + 5;
    for (std::size_t r : rewritten) {
      std::copy_n(w->tensor.begin() + static_cast<std::ptrdiff_t>(r * stride + 5), w->classes,
                  tensor.begin() + static_cast<std::ptrdiff_t>(r * stride + 5));
    }
  }
};

sealed_run* prepare_sealed(const sealed_workload* w, float conf, float nms) {
  auto* run = new sealed_run{w, conf, nms, w->tensor, {}};
  const std::size_t stride = static_cast<std::size_t>(w->classes) + 5;
  for (std::size_t r = 0; r < static_cast<std::size_t>(w->rows * w->batch); ++r) {
    if (w->tensor[r * stride + 4] > conf) {
      run->rewritten.push_back(r);
    }
  }
  return run;
}

// A sweep runs its sizes in increasing order; a size whose time, predicted
// from the previous size's as growing with the square of the candidates,
// would exceed the budget is skipped, so that the sweep ends in minutes
// whatever the slope.
struct sweep_point {
  std::string series;  // empty: not part of a sweep
  double candidates = 0;
};

constexpr double sweep_budget_seconds = 4.0;

std::map<std::string, std::pair<double, double>>& sweep_history() {
  static std::map<std::string, std::pair<double, double>> last;  // candidates, seconds
  return last;
}

bool skip_beyond_budget(benchmark::State& state, const sweep_point& point) {
  if (point.series.empty()) {
    return false;
  }
  const auto last = sweep_history().find(point.series);
  if (last == sweep_history().end() || last->second.first >= point.candidates) {
    return false;
  }
  const double growth = point.candidates / last->second.first;
  if (last->second.second * growth * growth <= sweep_budget_seconds) {
    return false;
  }
  state.SkipWithError("skipped: predicted beyond the sweep's time budget");
  return true;
}

void record_sweep_time(const sweep_point& point, double seconds) {
  if (!point.series.empty()) {
    auto& last = sweep_history()[point.series];
    if (last.first != point.candidates) {
      last = {point.candidates, seconds};
    }
    last.second = std::min(last.second, seconds);
  }
}

// With `profile`, one more call's heap use is measured after the timing.
template <class Decode>
void time_sealed(benchmark::State& state, sealed_run* run, Decode decode,
                 const sweep_point& point = {}, bool profile = false) {
  if (skip_beyond_budget(state, point)) {
    return;
  }
  std::size_t found = 0;
  double fastest = 1e300;
  for (auto _ : state) {
    run->restore();
    const auto start = std::chrono::steady_clock::now();
    found = decode(*run);
    const auto stop = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(stop - start).count();
    fastest = std::min(fastest, seconds);
    state.SetIterationTime(seconds);
  }
  record_sweep_time(point, fastest);
  if (profile) {
    run->restore();
    count_allocations(state, [&] { decode(*run); });
  }
  state.counters["detections"] = static_cast<double>(found);
  state.counters["candidates"] = static_cast<double>(run->rewritten.size());
}

std::size_t decode_sealed(sealed_run& run) {
  std::vector<float> conf(static_cast<std::size_t>(run.w->batch), run.conf);
  std::vector<float> nms(static_cast<std::size_t>(run.w->batch), run.nms);
  object_handler handler{};
  return_status status = process_yolo_sealed_output_detections(
      run.tensor.data(), run.w->rows, run.w->batch, run.w->classes, conf.data(), nms.data(),
      run.w->width, run.w->height, &handler);
  return quelt_bench::count_and_release(status, handler, static_cast<std::uint64_t>(run.w->batch));
}

std::size_t decode_sealed_reference(sealed_run& run) {
  std::vector<float> conf(static_cast<std::size_t>(run.w->batch), run.conf);
  std::vector<float> nms(static_cast<std::size_t>(run.w->batch), run.nms);
  const auto result = quelt_reference::process_yolo_sealed_output_detections(
      run.tensor.data(), run.w->rows, run.w->batch, run.w->classes, conf.data(), nms.data(),
      run.w->width, run.w->height);
  std::size_t total = 0;
  for (const auto& image : result) {
    total += image.size();
  }
  return total;
}

#if defined(QUELT_BENCH_OPENCV)
// The OpenCV loop reads the tensor and writes nothing into it.
void register_opencv_sealed(const std::string& name, const sealed_workload* w, float conf,
                            float nms) {
  for (auto mode : {quelt_bench::peer_nms::per_class, quelt_bench::peer_nms::class_agnostic}) {
    const char* kind = mode == quelt_bench::peer_nms::per_class ? "/opencv" : "/opencv-agnostic";
    benchmark::RegisterBenchmark((name + kind).c_str(), [=](benchmark::State& state) {
      std::size_t kept = 0;
      for (auto _ : state) {
        kept = quelt_bench::opencv_sealed(w->tensor.data(), w->rows, w->batch, w->classes, conf,
                                          nms, mode);
        benchmark::DoNotOptimize(kept);
      }
      state.counters["detections"] = static_cast<double>(kept);
    });
  }
}
#endif

struct sealed_options {
  bool reference = true;
  bool opencv = true;
  int repetitions = 0;       // 0: as the command line says
  std::string series;        // the sweep this workload belongs to, if any
  bool exact_floor = false;  // also time the exact floor (low thresholds)
};

void register_sealed(const std::string& name, const sealed_workload* w, float conf, float nms,
                     sealed_options options = {}) {
  sealed_run* library = prepare_sealed(w, conf, nms);
  const double candidates = static_cast<double>(library->rewritten.size());
  const sweep_point library_point{options.series.empty() ? "" : options.series + "/library",
                                  candidates};
  const sweep_point reference_point{options.series.empty() ? "" : options.series + "/reference",
                                    candidates};
  auto* lib =
      benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
        time_sealed(state, library, decode_sealed, library_point, true);
      })->UseManualTime();
  if (options.repetitions > 0) {
    lib->Repetitions(options.repetitions);
  }
  if (options.reference) {
    sealed_run* reference = prepare_sealed(w, conf, nms);
    auto* ref =
        benchmark::RegisterBenchmark((name + "/reference").c_str(), [=](benchmark::State& state) {
          time_sealed(state, reference, decode_sealed_reference, reference_point);
        })->UseManualTime();
    if (options.repetitions > 0) {
      ref->Repetitions(options.repetitions);
    }
  }
#if defined(QUELT_BENCH_OPENCV)
  if (options.opencv) {
    register_opencv_sealed(name, w, conf, nms);
  }
#endif
  if (options.exact_floor) {
    sealed_run* floor = prepare_sealed(w, conf, nms);
    auto* scratch = new quelt_bench::floor_scratch;
    benchmark::RegisterBenchmark((name + "/floor-exact").c_str(), [=](benchmark::State& state) {
      time_sealed(state, floor, [scratch](sealed_run& run) {
        return quelt_bench::sealed_exact_floor(run.tensor.data(), run.w->rows, run.w->batch,
                                               run.w->classes, run.conf, *scratch);
      });
    })->UseManualTime();
  }
  benchmark::RegisterBenchmark((name + "/floor").c_str(), [=](benchmark::State& state) {
    std::uint64_t passing = 0;
    for (auto _ : state) {
      passing = quelt_bench::count_passing(w->tensor.data(),
                                           static_cast<std::uint64_t>(w->rows * w->batch),
                                           static_cast<std::size_t>(w->classes) + 5, conf);
      benchmark::DoNotOptimize(passing);
    }
    state.counters["candidates"] = static_cast<double>(passing);
  });
}

// The real network outputs beside the checkout, stacked into one batch.
void register_real_fixtures() {
  // Kept for the whole run: the workloads point into them.
  static const auto fixtures = quelt::test::load_real_fixtures();
  if (!fixtures) {
    std::fprintf(stderr, "W6 skipped: %s not found\n", quelt::test::real_fixture_dir().c_str());
    return;
  }
  static const quelt::test::fixture_layers layers(*fixtures);
  auto* darknet = new darknet_workload;
  auto* sealed = new sealed_workload;
  darknet->net = net_params{fixtures->net_width, fixtures->net_height};
  darknet->batch = fixtures->images.size();
  darknet->layers = layers.outputs(0, fixtures->images.size());
  for (const yolo_output& layer : darknet->layers) {
    darknet->records +=
        layer.output.batch * layer.output.height * layer.output.width * layer.mask_size;
  }
  sealed->batch = static_cast<std::int64_t>(fixtures->images.size());
  sealed->width = fixtures->net_width;
  sealed->height = fixtures->net_height;
  for (const auto& image : fixtures->images) {
    const auto rows = quelt::npy::read_npy(image.sealed_file);
    sealed->tensor.insert(sealed->tensor.end(), rows.values.begin(), rows.values.end());
    sealed->rows = static_cast<std::int64_t>(rows.shape[1]);
    sealed->classes = static_cast<std::int32_t>(rows.shape[2]) - 5;
  }
  register_darknet("W6-darknet", darknet, 0.25f, 0.45f);
  register_sealed("W6-sealed", sealed, 0.25f, 0.45f);
}

// Several images of one workload as one batch.
sealed_workload* stack_sealed(const std::vector<sealed_workload>& images) {
  auto* w = new sealed_workload(images[0]);
  w->tensor.clear();
  for (const sealed_workload& image : images) {
    w->tensor.insert(w->tensor.end(), image.tensor.begin(), image.tensor.end());
  }
  w->batch = static_cast<std::int64_t>(images.size());
  return w;
}

// Times `call` per iteration as a sweep point (see skip_beyond_budget).
template <class Call>
void time_sweep_point(benchmark::State& state, const sweep_point& point, double candidates,
                      Call call) {
  if (skip_beyond_budget(state, point)) {
    return;
  }
  double fastest = 1e300;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(call());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fastest = std::min(fastest, seconds);
    state.SetIterationTime(seconds);
  }
  record_sweep_time(point, fastest);
  state.counters["candidates"] = candidates;
}

// Candidates from 10^3 to 10^5 in one image. Sealed rows: uniform or
// clustered boxes, one or 80 classes held per candidate; Darknet rows and
// anchor-free columns: uniform boxes, one class each. Sizes predicted to take
// more than the sweep's budget per call are skipped (see
// skip_beyond_budget), the reference's and the library's alike.
void register_sweep() {
  using quelt_bench::spread;
  const std::size_t sizes[] = {1000, 3000, 10000, 30000, 100000};
  for (spread layout : {spread::uniform, spread::clustered}) {
    for (int held : {1, 80}) {
      for (std::size_t candidates : sizes) {
        char name[96];
        std::snprintf(name, sizeof name, "scale-sealed/%s-%s/%zu",
                      layout == spread::uniform ? "uniform" : "clustered",
                      held == 1 ? "1class" : "80classes", candidates);
        auto* w = new sealed_workload(
            quelt_bench::make_sweep_workload(candidates, layout, held, candidates + 17));
        sealed_options options;
        options.opencv = false;
        options.repetitions = 3;
        options.series = name;
        options.series.resize(options.series.rfind('/'));
        register_sealed(name, w, 0.25f, 0.45f, options);
      }
    }
  }
  for (std::size_t candidates : sizes) {
    const auto count = static_cast<double>(candidates);
    char name[96];
    std::snprintf(name, sizeof name, "scale-darknet/uniform-1class/%zu", candidates);
    auto* darknet =
        new darknet_workload(quelt_bench::make_darknet_sweep_workload(candidates, candidates + 29));
    const sweep_point darknet_point{"scale-darknet/uniform-1class/library", count};
    benchmark::RegisterBenchmark((std::string(name) + "/library").c_str(),
                                 [=](benchmark::State& state) {
                                   time_sweep_point(state, darknet_point, count, [=] {
                                     return decode_darknet(*darknet, 0.25f, 0.45f);
                                   });
                                 })
        ->UseManualTime()
        ->Repetitions(3);
    benchmark::RegisterBenchmark((std::string(name) + "/floor").c_str(),
                                 [=](benchmark::State& state) {
                                   time_sweep_point(state, sweep_point{}, count, [=] {
                                     return darknet_floor(*darknet, logit(0.25f));
                                   });
                                 })
        ->UseManualTime()
        ->Repetitions(3);

    std::snprintf(name, sizeof name, "scale-columns/uniform-1class/%zu", candidates);
    auto* columns =
        new columns_workload(quelt_bench::make_columns_sweep_workload(candidates, candidates + 31));
    const sweep_point columns_point{"scale-columns/uniform-1class/library", count};
    benchmark::RegisterBenchmark((std::string(name) + "/library").c_str(),
                                 [=](benchmark::State& state) {
                                   time_sweep_point(state, columns_point, count, [=] {
                                     return quelt_bench::decode_columns(
                                         columns->tensor.data(), 1, columns->columns,
                                         columns->classes, columns->width, columns->height, 0.25f,
                                         0.45f, 0);
                                   });
                                 })
        ->UseManualTime()
        ->Repetitions(3);
  }
}

// Anchor-free columns: quelt, the OpenCV loop and the floor (the literal
// reference of this layout runs with the H workloads).
void register_columns(const std::string& name, const columns_workload* w, float conf, float nms) {
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    std::size_t kept = 0;
    for (auto _ : state) {
      kept = quelt_bench::decode_columns(w->tensor.data(), w->batch, w->columns, w->classes,
                                         w->width, w->height, conf, nms, 0);
      benchmark::DoNotOptimize(kept);
    }
    count_allocations(state, [&] {
      quelt_bench::decode_columns(w->tensor.data(), w->batch, w->columns, w->classes, w->width,
                                  w->height, conf, nms, 0);
    });
    state.counters["detections"] = static_cast<double>(kept);
  });
#if defined(QUELT_BENCH_OPENCV)
  for (auto mode : {quelt_bench::peer_nms::per_class, quelt_bench::peer_nms::class_agnostic}) {
    const char* kind = mode == quelt_bench::peer_nms::per_class ? "/opencv" : "/opencv-agnostic";
    benchmark::RegisterBenchmark((name + kind).c_str(), [=](benchmark::State& state) {
      std::size_t kept = 0;
      for (auto _ : state) {
        kept = quelt_bench::opencv_columns(w->tensor.data(), w->columns, w->batch, w->classes, conf,
                                           nms, mode);
        benchmark::DoNotOptimize(kept);
      }
      state.counters["detections"] = static_cast<double>(kept);
    });
  }
#endif
  // Without objectness every class score must be read: the floor reads each
  // once, in memory order, and counts the columns with one above conf.
  benchmark::RegisterBenchmark((name + "/floor").c_str(), [=](benchmark::State& state) {
    std::uint64_t passing = 0;
    const std::size_t columns = static_cast<std::size_t>(w->columns);
    std::vector<unsigned char> above(columns);
    for (auto _ : state) {
      passing = 0;
      for (std::int64_t i = 0; i < w->batch; ++i) {
        std::fill(above.begin(), above.end(), 0);
        const float* scores =
            w->tensor.data() + (static_cast<std::size_t>(i) * (4 + w->classes) + 4) * columns;
        for (std::size_t k = 0; k < static_cast<std::size_t>(w->classes); ++k) {
          for (std::size_t c = 0; c < columns; ++c) {
            above[c] |= scores[k * columns + c] > conf ? 1 : 0;
          }
        }
        for (unsigned char a : above) {
          passing += a;
        }
      }
      benchmark::DoNotOptimize(passing);
    }
    state.counters["candidates"] = static_cast<double>(passing);
  });
}

}  // namespace

int main(int argc, char** argv) {
  auto* w1 = new darknet_workload(quelt_bench::make_darknet_workload(1, 1));
  auto* w5 = new darknet_workload(quelt_bench::make_darknet_workload(8, 5));
  auto* w3 = new sealed_workload(quelt_bench::make_sealed_workload(3));
  register_darknet("W1", w1, 0.25f, 0.45f);
  register_darknet("W2", w1, 0.005f, 0.45f, true);
  sealed_options low;
  low.exact_floor = true;
  register_sealed("W3", w3, 0.25f, 0.45f);
  register_sealed("W4", w3, 0.001f, 0.45f, low);
  register_darknet("W5", w5, 0.25f, 0.45f);
  register_real_fixtures();
  // An evaluation threshold over a spread background, as issue reports give.
  auto* w7 = new sealed_workload(quelt_bench::make_spread_background_workload(1, 7));
  register_sealed("W7", w7, 0.001f, 0.45f, low);
  // Boxes uniform over the image, objectness logistic(N(-8, 2)), class
  // scores logistic(N(-6, 2)): about 7,400 rows pass 0.001. W8-nms1: the
  // same with an overlap threshold of 1, which suppresses nothing.
  auto* w8 = new sealed_workload(quelt_bench::make_uniform_low_workload(1, 8));
  register_sealed("W8", w8, 0.001f, 0.45f, low);
  register_sealed("W8-nms1", w8, 0.001f, 1.0f, low);
  // Batches of 8 images.
  std::vector<sealed_workload> images;
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    images.push_back(quelt_bench::make_sealed_workload(100 + seed));
  }
  sealed_workload* w3x8 = stack_sealed(images);
  register_sealed("W3x8", w3x8, 0.25f, 0.45f);
  register_sealed("W4x8", w3x8, 0.001f, 0.45f, low);
  auto* w7x8 = new sealed_workload(quelt_bench::make_spread_background_workload(8, 70));
  register_sealed("W7x8", w7x8, 0.001f, 0.45f, sealed_options{true, true, 3, "", true});
  auto* af1 = new columns_workload(quelt_bench::make_anchor_free_workload(1, 11));
  auto* af8 = new columns_workload(quelt_bench::make_anchor_free_workload(8, 12));
  register_columns("AF1", af1, 0.25f, 0.45f);
  register_columns("AF1x8", af8, 0.25f, 0.45f);
  register_sweep();
  // Time against the number of candidates, for bench/report's plot.
  for (float conf : {0.5f, 0.25f, 0.1f, 0.05f, 0.02f, 0.01f, 0.005f}) {
    char name[64];
    std::snprintf(name, sizeof name, "sweep-darknet/conf=%g", static_cast<double>(conf));
    register_darknet(name, w1, conf, 0.45f);
    std::snprintf(name, sizeof name, "sweep-sealed/conf=%g", static_cast<double>(conf));
    register_sealed(name, w3, conf, 0.45f);
  }

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

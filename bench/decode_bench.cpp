// Each workload decoded by the library and by the literal reference in the
// same process, beside its floor: one pass that reads every record's
// objectness and compares it with a constant. bench/report turns the results
// into a table of ratios.
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "reference/reference.hpp"
#include "support/fixtures.hpp"
#include "npy/npy.hpp"
#include "workloads.hpp"

namespace {

using quelt_bench::darknet_workload;
using quelt_bench::sealed_workload;

std::size_t decode_darknet(const darknet_workload& w, float conf, float nms) {
  std::vector<float> conf_thresholds(w.batch, conf);
  std::vector<float> nms_thresholds(w.batch, nms);
  object_handler handler{};
  return_status status =
      process_yolo_detections(w.layers.data(), w.layers.size(), w.net, conf_thresholds.data(),
                              nms_thresholds.data(), &handler);
  if (status.status_code != 1) {
    std::fprintf(stderr, "decode failed: %s\n", status.message);
    std::abort();
  }
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < w.batch; ++i) {
    std::uint64_t count = 0;
    detections_batch_detections_count(handler, i, &count);
    total += count;
  }
  object_handler_destroy(handler);
  return total;
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

void register_darknet(const std::string& name, darknet_workload* w, float conf, float nms) {
  const float cut = logit(conf);
  const auto candidates = static_cast<double>(darknet_floor(*w, cut));
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    std::size_t found = 0;
    for (auto _ : state) {
      found = decode_darknet(*w, conf, nms);
      benchmark::DoNotOptimize(found);
    }
    state.counters["detections"] = static_cast<double>(found);
    state.counters["candidates"] = candidates;
  });
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

template <class Decode>
void time_sealed(benchmark::State& state, sealed_run* run, Decode decode) {
  std::size_t found = 0;
  for (auto _ : state) {
    run->restore();
    const auto start = std::chrono::steady_clock::now();
    found = decode(*run);
    const auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
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
  if (status.status_code != 1) {
    std::fprintf(stderr, "decode failed: %s\n", status.message);
    std::abort();
  }
  std::uint64_t total = 0;
  for (std::int64_t i = 0; i < run.w->batch; ++i) {
    std::uint64_t count = 0;
    detections_batch_detections_count(handler, static_cast<std::uint64_t>(i), &count);
    total += count;
  }
  object_handler_destroy(handler);
  return total;
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

void register_sealed(const std::string& name, const sealed_workload* w, float conf, float nms) {
  sealed_run* library = prepare_sealed(w, conf, nms);
  sealed_run* reference = prepare_sealed(w, conf, nms);
  benchmark::RegisterBenchmark((name + "/library").c_str(), [=](benchmark::State& state) {
    time_sealed(state, library, decode_sealed);
  })->UseManualTime();
  benchmark::RegisterBenchmark((name + "/reference").c_str(), [=](benchmark::State& state) {
    time_sealed(state, reference, decode_sealed_reference);
  })->UseManualTime();
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
  const auto fixtures = quelt::test::load_real_fixtures();
  if (!fixtures) {
    std::fprintf(stderr, "W6 skipped: %s not found\n", quelt::test::real_fixture_dir().c_str());
    return;
  }
  auto* darknet = new darknet_workload;
  auto* sealed = new sealed_workload;
  darknet->net = net_params{fixtures->net_width, fixtures->net_height};
  darknet->batch = fixtures->images.size();
  sealed->batch = static_cast<std::int64_t>(fixtures->images.size());
  sealed->width = fixtures->net_width;
  sealed->height = fixtures->net_height;
  darknet->values.resize(fixtures->layers.size());
  std::vector<std::array<std::size_t, 4>> shapes(fixtures->layers.size());
  for (const auto& image : fixtures->images) {
    for (std::size_t l = 0; l < image.layer_files.size(); ++l) {
      const auto array = quelt::npy::read_npy(image.layer_files[l]);
      darknet->values[l].insert(darknet->values[l].end(), array.values.begin(), array.values.end());
      shapes[l] = {array.shape[0], array.shape[1], array.shape[2], array.shape[3]};
    }
    const auto rows = quelt::npy::read_npy(image.sealed_file);
    sealed->tensor.insert(sealed->tensor.end(), rows.values.begin(), rows.values.end());
    sealed->rows = static_cast<std::int64_t>(rows.shape[1]);
    sealed->classes = static_cast<std::int32_t>(rows.shape[2]) - 5;
  }
  for (std::size_t l = 0; l < fixtures->layers.size(); ++l) {
    darknet->masks.push_back(fixtures->layers[l].mask);
  }
  darknet->anchors = fixtures->layers[0].anchors;
  for (std::size_t l = 0; l < fixtures->layers.size(); ++l) {
    const auto& described = fixtures->layers[l];
    yolo_output layer{};
    layer.output.data = darknet->values[l].data();
    layer.output.batch = darknet->batch;
    layer.output.height = shapes[l][1];
    layer.output.width = shapes[l][2];
    layer.output.channels = shapes[l][3];
    layer.classes = described.classes;
    layer.mask = darknet->masks[l].data();
    layer.mask_size = described.mask.size();
    layer.xy_scale = described.xy_scale;
    layer.preactivated = described.preactivated;
    layer.anchors = darknet->anchors.data();
    darknet->layers.push_back(layer);
    darknet->records += darknet->batch * shapes[l][1] * shapes[l][2] * described.mask.size();
  }
  register_darknet("W6-darknet", darknet, 0.25f, 0.45f);
  register_sealed("W6-sealed", sealed, 0.25f, 0.45f);
}

}  // namespace

int main(int argc, char** argv) {
  auto* w1 = new darknet_workload(quelt_bench::make_darknet_workload(1, 1));
  auto* w5 = new darknet_workload(quelt_bench::make_darknet_workload(8, 5));
  auto* w3 = new sealed_workload(quelt_bench::make_sealed_workload(3));
  register_darknet("W1", w1, 0.25f, 0.45f);
  register_darknet("W2", w1, 0.005f, 0.45f);
  register_sealed("W3", w3, 0.25f, 0.45f);
  register_sealed("W4", w3, 0.001f, 0.45f);
  register_darknet("W5", w5, 0.25f, 0.45f);
  register_real_fixtures();
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

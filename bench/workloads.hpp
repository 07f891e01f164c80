// Synthetic network outputs for the benchmarks: raw Darknet layers and sealed
// tensors with a few dozen objects, each seen by a cluster of neighbouring
// anchors so that suppression has work, over a background of low objectness.
#ifndef QUELT_BENCH_WORKLOADS_HPP
#define QUELT_BENCH_WORKLOADS_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace quelt_bench {

struct darknet_workload {
  std::vector<std::vector<float>> values;  // one buffer per layer
  std::vector<std::vector<std::int32_t>> masks;
  std::vector<float> anchors;
  std::vector<yolo_output> layers;
  net_params net{};
  std::uint64_t batch = 0;
  std::uint64_t records = 0;  // anchor records over all layers and images
};

struct sealed_workload {
  std::vector<float> tensor;
  std::int64_t rows = 0;
  std::int64_t batch = 0;
  std::int32_t classes = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Three raw layers of a 608 x 608, 80-class network (grids 19, 38, 76; three
// anchors each); about 0.5% of the anchors have objectness above 0.25.
darknet_workload make_darknet_workload(std::uint64_t batch, std::uint64_t seed);

// 25,200 rows of 85 floats, as a 640 x 640 network with grids 80, 40, 20
// gives them.
sealed_workload make_sealed_workload(std::uint64_t seed);

// The floor: read each record's objectness once, compare, count.
std::uint64_t count_passing(const float* values, std::uint64_t records, std::size_t stride,
                            float cut);

}  // namespace quelt_bench

#endif

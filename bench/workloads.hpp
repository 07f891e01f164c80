// Synthetic network outputs for the benchmarks: raw Darknet layers and sealed
// tensors with a few dozen objects, each seen by a cluster of neighbouring
// anchors so that suppression has work, over a background of low objectness.
#ifndef QUELT_BENCH_WORKLOADS_HPP
#define QUELT_BENCH_WORKLOADS_HPP

#include <cstddef>
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

// The 25,200-row geometry above at an evaluation threshold (0.001): a
// heavy-tailed background whose objectness passes on about 7,400 rows
// spread over the whole image, each holding about 2.4 classes, besides the
// objects' clusters. `batch` images, each drawn afresh.
sealed_workload make_spread_background_workload(std::int64_t batch, std::uint64_t seed);

// The 25,200-row geometry with `batch` images of boxes spread uniformly over
// the image (sides 8 to 160 pixels), objectness logistic(N(-8, 2)) and class
// scores logistic(N(-6, 2)): about 7,400 rows pass an objectness of 0.001.
sealed_workload make_uniform_low_workload(std::int64_t batch, std::uint64_t seed);

// How the candidates of a sweep workload lie in the image.
enum class spread {
  uniform,    // background boxes anywhere in the image
  clustered,  // about 100 boxes around each object
};

// One image of 80 classes with exactly `candidates` rows whose objectness
// passes 0.25 (and as many that do not), boxes laid out as `layout`; each
// passing row holds `held_classes` classes (1 or 80) at that threshold.
sealed_workload make_sweep_workload(std::size_t candidates, spread layout, int held_classes,
                                    std::uint64_t seed);

// One raw Darknet layer of an 80-class, 640 x 640 network holding about
// 2 x `candidates` anchor records (three anchors per cell), of which exactly
// `candidates` pass objectness 0.25 and hold one class each at that
// threshold; boxes anywhere in the image, about 10 to 100 pixels a side.
darknet_workload make_darknet_sweep_workload(std::size_t candidates, std::uint64_t seed);

// An anchor-free head's output, (4 + classes) x columns per image, row-major:
// centre x, centre y, width, height, then one score per class, each row
// holding all columns (a (1, 84, 8400) tensor for 80 classes at 640 x 640).
struct columns_workload {
  std::vector<float> tensor;
  std::int64_t columns = 0;
  std::int64_t batch = 0;
  std::int32_t classes = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// 8,400 columns (grids 80, 40, 20 at 640 x 640), 80 classes: a few dozen
// objects each seen by neighbouring columns over a background of low scores.
columns_workload make_anchor_free_workload(std::int64_t batch, std::uint64_t seed);

// Columns of one 80-class image, 2 x `candidates` of them, of which exactly
// `candidates` hold one class score above 0.25 (the others all below);
// boxes anywhere in the 640 x 640 image, 8 to 64 pixels a side.
columns_workload make_columns_sweep_workload(std::size_t candidates, std::uint64_t seed);

// The floor: read each record's objectness once, compare, count.
std::uint64_t count_passing(const float* values, std::uint64_t records, std::size_t stride,
                            float cut);

// How many of `count` contiguous values lie above `limit`: each read once,
// four at a time, counted without a branch, so no exact decoder can beat it.
std::uint64_t count_above(const float* values, std::int64_t count, float limit);

// The number of records a decoding call produced over `images` images,
// releasing the batch; a failed call ends the run, as a benchmark of wrong
// input measures nothing.
std::size_t count_and_release(return_status status, object_handler handler, std::uint64_t images);

// Anchor-free columns (batch, 4 + classes, candidates) through quelt_decode,
// best class only, at most `cap` records per image (0: no cap).
std::size_t decode_columns(const float* tensor, std::int64_t batch, std::int64_t candidates,
                           std::int32_t classes, std::int32_t width, std::int32_t height,
                           float conf, float nms, std::int32_t cap);

}  // namespace quelt_bench

#endif

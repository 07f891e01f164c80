// Floors for low thresholds: only what any exact answer must do there. Every
// row's objectness is read (where there is one), the class scores of the
// rows that pass are read (without an objectness, every class score), the
// products are written back where the entry rewrites them, the passing
// (candidate, class) pairs are ranked (a two-pass radix sort of their score
// bits) and one record per candidate is written, in that order. No
// activation, no box decoding, no suppression: a decoder cannot beat it.
#ifndef QUELT_BENCH_FLOORS_HPP
#define QUELT_BENCH_FLOORS_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace quelt_bench {

// Reused from call to call, as the library reuses its workspaces.
struct floor_scratch {
  std::vector<std::uint64_t> pairs;  // score bits << 32 | pair number
  std::vector<std::uint64_t> sorted;
  std::vector<std::uint32_t> candidate_of;  // per pair
  std::vector<std::int32_t> class_of;       // per pair
  std::vector<unsigned char> written;       // per candidate
  std::vector<object_detection> records;
};

// Sealed rows (classes + 5 floats each, `rows` per image): products written
// back into `tensor` as the sealed entry does. Returns the records written.
std::size_t sealed_exact_floor(float* tensor, std::int64_t rows, std::int64_t batch,
                               std::int32_t classes, float conf, floor_scratch& scratch);

// Raw Darknet records (classes + 5 floats each): every objectness logit
// compared with the threshold's; for the records that pass, the objectness
// (libm's exp), every class logit compared with the edge a passing product
// needs, and the passing products; the layers untouched.
std::size_t darknet_exact_floor(const std::vector<yolo_output>& layers, float conf,
                                floor_scratch& scratch);

// Columns (batch, 4 + classes, candidates): every class score read, in
// memory order, the tensor untouched.
std::size_t columns_exact_floor(const float* tensor, std::int64_t batch, std::int64_t candidates,
                                std::int32_t classes, float conf, floor_scratch& scratch);

}  // namespace quelt_bench

#endif

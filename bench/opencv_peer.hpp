// The post-processing loop users write around OpenCV's DNN module, as a
// peer for the benchmarks: compiled only when OpenCV is found.
#ifndef QUELT_BENCH_OPENCV_PEER_HPP
#define QUELT_BENCH_OPENCV_PEER_HPP

#include <cstddef>
#include <cstdint>

namespace quelt_bench {

// Suppression per class (class offsets, or NMSBoxesBatched where OpenCV has
// it) or over all boxes at once.
enum class peer_nms { per_class, class_agnostic };

// Sealed rows (centre x, centre y, width, height, objectness, class scores):
// objectness test, the best class by minMaxLoc, score = objectness x that
// class's score, then NMSBoxes. One record per kept row; returns the number
// kept over the batch.
std::size_t opencv_sealed(const float* tensor, std::int64_t rows, std::int64_t batch,
                          std::int32_t classes, float conf, float nms, peer_nms mode);

// Anchor-free columns, (4 + classes) x columns per image: transposed to one
// row per column, the best class score by minMaxLoc, then NMSBoxes. Returns
// the number kept over the batch.
std::size_t opencv_columns(const float* tensor, std::int64_t columns, std::int64_t batch,
                           std::int32_t classes, float conf, float nms, peer_nms mode);

// Whether suppression per class goes through cv::dnn::NMSBoxesBatched.
bool opencv_has_batched_nms();

}  // namespace quelt_bench

#endif

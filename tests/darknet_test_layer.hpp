// Builds yolo_output descriptors over test-owned vectors.
#ifndef QUELT_TESTS_DARKNET_TEST_LAYER_HPP
#define QUELT_TESTS_DARKNET_TEST_LAYER_HPP

#include <cstdint>
#include <vector>

#include "quelt/quelt.h"

namespace quelt::test {

// The vectors stay owned by the test and must outlive the descriptor.
// channels is set to mask.size() x (classes + 5), as a real layer has it.
inline yolo_output make_layer(std::vector<float>& values, std::uint64_t batch, std::uint64_t width,
                              std::uint64_t height, std::vector<std::int32_t>& mask, int classes,
                              std::vector<float>& anchors, float xy_scale = 1.0f,
                              bool preactivated = false) {
  yolo_output layer{};
  layer.output.data = values.empty() ? nullptr : values.data();
  layer.output.batch = batch;
  layer.output.width = width;
  layer.output.height = height;
  layer.output.channels = mask.size() * (static_cast<std::uint64_t>(classes) + 5);
  layer.classes = classes;
  layer.mask = mask.empty() ? nullptr : mask.data();
  layer.mask_size = mask.size();
  layer.xy_scale = xy_scale;
  layer.preactivated = preactivated ? 1 : 0;
  layer.anchors = anchors.empty() ? nullptr : anchors.data();
  return layer;
}

}  // namespace quelt::test

#endif

// The records a decoding call hands back: one list per image, in image order.
#ifndef QUELT_FRAMEWORK_DETECTIONS_HPP
#define QUELT_FRAMEWORK_DETECTIONS_HPP

#include <cstdint>
#include <vector>

#include "box.hpp"
#include "quelt/quelt.h"

namespace sorvanta::framework {

using detections_list = std::vector<std::vector<object_detection>>;

// Keeps the entries of `values` at positions `kept` (ascending), in order;
// leaves a vector of another length (a part the batch does not keep) alone.
template <class T>
void keep_positions(std::vector<T>& values, const std::vector<std::uint32_t>& kept,
                    std::size_t width = 1) {
  if (values.empty()) {
    return;
  }
  std::size_t out = 0;
  for (std::uint32_t position : kept) {
    for (std::size_t i = 0; i < width; ++i) {
      values[out++] = values[position * width + i];
    }
  }
  values.resize(out);
}

// The records with what else the caller asked to keep of each: every per-image
// vector below holds the same number of entries (times its per-record width)
// as that image's records, in record order.
struct detailed_detections {
  detections_list records;
  // The candidate each record came from, in the entry's candidate order.
  std::vector<std::vector<std::int64_t>> sources;
  // Each record's box in network-input pixels as decoded, before any mapping.
  std::vector<std::vector<corner_box>> network_boxes;
  std::int32_t network_width = 0;
  std::int32_t network_height = 0;
  // One per image: how the records were mapped to original-image pixels,
  // when they were (zeros before).
  std::vector<quelt_image_geometry> geometry;
  // Whether the edges of the records are in original-image pixels.
  bool original_pixels = false;
  // E values a record as the extras view holds them (converted to float),
  // and K keypoints a record, (x, y, visibility) with x and y in
  // network-input pixels: mapped when they are handed out. Empty (no
  // images) when the call described none.
  std::int32_t extras_per_record = 0;
  std::vector<std::vector<float>> extras;
  std::int32_t keypoints_per_record = 0;
  std::vector<std::vector<float>> keypoints;
  // Rotated boxes: each record's rotated box in record form (longer side as
  // the width, angle in [0, pi)), in network-input pixels, or original-image
  // pixels with original_pixels.
  bool rotated = false;
  std::vector<std::vector<quelt_rotated_detection>> rotated_records;

  // Keeps of image `image` only the records at positions `kept` (ascending),
  // with everything kept beside them.
  void keep_only(std::size_t image, const std::vector<std::uint32_t>& kept) {
    keep_positions(records[image], kept);
    keep_positions(sources[image], kept);
    keep_positions(network_boxes[image], kept);
    if (!extras.empty()) {
      keep_positions(extras[image], kept, static_cast<std::size_t>(extras_per_record));
    }
    if (!keypoints.empty()) {
      keep_positions(keypoints[image], kept, static_cast<std::size_t>(keypoints_per_record) * 3);
    }
    keep_positions(rotated_records[image], kept);
  }

  // Sized for `images` images without records.
  explicit detailed_detections(std::size_t images = 0)
      : records(images), sources(images), network_boxes(images), rotated_records(images) {}
};

}  // namespace sorvanta::framework

#endif

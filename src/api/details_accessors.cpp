// The accessors of what a details batch carries beyond its records: each
// record's extras, and its keypoints, mapped as its edges are.
#include <cstdint>
#include <cstring>
#include <vector>

#include "../framework/detections.hpp"
#include "../framework/exception.hpp"
#include "../framework/geometry.hpp"
#include "../framework/string_builder.hpp"
#include "object_handler.hpp"
#include "status_frame.hpp"

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

namespace quelt::api {

namespace {

// The details batch behind `handler`; a detections_batch keeps no `what`.
const sorvanta::framework::detailed_detections& details_with(object_handler handler,
                                                             const char* what) {
  const sorvanta::framework::detailed_detections* details = details_of(handler);
  if (details == nullptr) {
    reject(_bs("handler: a detections_batch, which keeps no ", what,
               "; a quelt_details_batch (describe them on the layout or levels)"));
  }
  return *details;
}

// Image `batch_idx`'s per-record values of `lists` (empty when the batch
// carries none), refused naming the index when it is not below the batch
// size.
const std::vector<float>& image_values(const sorvanta::framework::detailed_detections& batch,
                                       const std::vector<std::vector<float>>& lists,
                                       std::uint64_t batch_idx) {
  if (batch_idx >= batch.records.size()) {
    reject(_bs("batch_idx: ", batch_idx, " is not below the batch size ", batch.records.size(),
               "; the index of an image of the batch"));
  }
  static const std::vector<float> none;
  return lists.empty() ? none : lists[batch_idx];
}

void require_room(const float* out, std::size_t count) {
  if (out == nullptr && count > 0) {
    reject(_bs("out_values: NULL, but ", count, " floats are to be written; room for them"));
  }
}

}  // namespace
}  // namespace quelt::api

extern "C" {

QUELT_API return_status quelt_batch_extras_store(object_handler handler, uint64_t batch_idx,
                                                 float* out_values) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_extras_store", [&] {
    const auto& batch = quelt::api::details_with(handler, "extras");
    const std::vector<float>& values = quelt::api::image_values(batch, batch.extras, batch_idx);
    quelt::api::require_room(out_values, values.size());
    if (!values.empty()) {
      std::memcpy(out_values, values.data(), values.size() * sizeof(float));
    }
  });
}

QUELT_API return_status quelt_batch_keypoints_store(object_handler handler, uint64_t batch_idx,
                                                    float* out_values) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_keypoints_store", [&] {
    const auto& batch = quelt::api::details_with(handler, "keypoints");
    // Kept in network-input pixels: mapped here as the edges were.
    const std::vector<float>& points = quelt::api::image_values(batch, batch.keypoints, batch_idx);
    quelt::api::require_room(out_values, points.size());
    const bool original = batch.original_pixels;
    const quelt_image_geometry g = original ? batch.geometry[batch_idx] : quelt_image_geometry{};
    const auto width = static_cast<float>(batch.network_width);
    const auto height = static_cast<float>(batch.network_height);
    for (std::size_t i = 0; i + 2 < points.size(); i += 3) {
      const float x = points[i];
      const float y = points[i + 1];
      out_values[i] =
          original ? sorvanta::framework::to_original(x, g.pad_x, g.scale_x, g.original_width)
                   : x / width;
      out_values[i + 1] =
          original ? sorvanta::framework::to_original(y, g.pad_y, g.scale_y, g.original_height)
                   : y / height;
      out_values[i + 2] = points[i + 2];
    }
  });
}

}  // extern "C"

// The exported entries of the heads path: quelt_decode over strided
// predictions, and quelt_map_detections over a batch any entry made.
#include <cstdint>
#include <utility>
#include <vector>

#include "../framework/exception.hpp"
#include "../framework/geometry.hpp"
#include "../framework/ranking.hpp"
#include "../framework/string_builder.hpp"
#include "../heads/heads_decode.hpp"
#include "heads_checks.hpp"
#include "object_handler.hpp"
#include "status_frame.hpp"

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

namespace quelt::api {

namespace {

// The records of one image that a cap keeps: the `cap` of highest
// probability (equal ones: the earlier; NaN lowest), in their own order.
std::vector<object_detection> capped(const std::vector<object_detection>& records,
                                     std::size_t cap) {
  if (cap == 0 || records.size() <= cap) {
    return records;
  }
  std::vector<float> keys(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    keys[i] = records[i].probability;
  }
  std::vector<std::uint32_t> order;
  std::vector<std::uint64_t> scratch;
  sorvanta::framework::rank_descending(keys, order, scratch);
  std::vector<unsigned char> keep(records.size(), 0);
  for (std::size_t i = 0; i < cap; ++i) {
    keep[order[i]] = 1;
  }
  std::vector<object_detection> kept;
  kept.reserve(cap);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (keep[i] != 0) {
      kept.push_back(records[i]);
    }
  }
  return kept;
}

void map_detections(object_handler handler, std::int32_t network_width, std::int32_t network_height,
                    const quelt_image_geometry* geometry, std::int32_t max_detections) {
  if (handler.type != detections_batch) {
    reject(_bs("handler.type: ", static_cast<std::int32_t>(handler.type),
               " is not a detections batch; a handle a decoding call filled"));
  }
  if (handler.object == nullptr) {
    reject(
        "handler.object: NULL, no batch (did the decoding call fail?); a handle a decoding "
        "call filled");
  }
  auto& batch = *static_cast<detections_list*>(handler.object);
  if (max_detections < 0) {
    reject(_bs("max_detections: ", max_detections, " is negative; 0 (no cap) or more"));
  }
  if (geometry != nullptr && network_width < 1) {
    reject(_bs("network_width: ", network_width, " is below 1; 1 pixel or more"));
  }
  if (geometry != nullptr && network_height < 1) {
    reject(_bs("network_height: ", network_height, " is below 1; 1 pixel or more"));
  }
  check_geometry(geometry, batch.size(), "geometry");
  // Built apart and swapped in, so a failure leaves the batch as it was.
  detections_list mapped(batch.size());
  const auto width = static_cast<float>(network_width);
  const auto height = static_cast<float>(network_height);
  for (std::size_t b = 0; b < batch.size(); ++b) {
    mapped[b] = capped(batch[b], static_cast<std::size_t>(max_detections));
    if (geometry == nullptr) {
      continue;
    }
    for (object_detection& r : mapped[b]) {
      const sorvanta::framework::corner_box edges{r.x_min * width, r.y_min * height,
                                                  r.x_max * width, r.y_max * height, 0.0f};
      r = sorvanta::framework::original_record(edges, geometry[b], r.class_id, r.objectness,
                                               r.probability);
    }
  }
  batch.swap(mapped);
}

}  // namespace
}  // namespace quelt::api

extern "C" QUELT_API return_status quelt_decode(const quelt_layout* layout,
                                                const quelt_decode_options* options,
                                                object_handler* out_handler) {
  return quelt::api::run_in_plain_status_frame("quelt_decode", [&] {
    if (out_handler == nullptr) {
      reject("out_handler: NULL; the address of an object_handler to fill");
    }
    quelt::api::reset_output_handle(out_handler);
    const quelt::api::decode_call call = quelt::api::checked_decode_call(layout, options);
    quelt::api::publish_batch(*out_handler,
                              [&] { return quelt::heads::decode(call.layout, call.options); });
  });
}

extern "C" QUELT_API return_status quelt_decode_levels(const quelt_levels* levels,
                                                       const quelt_decode_options* options,
                                                       object_handler* out_handler) {
  return quelt::api::run_in_plain_status_frame("quelt_decode_levels", [&] {
    if (out_handler == nullptr) {
      reject("out_handler: NULL; the address of an object_handler to fill");
    }
    quelt::api::reset_output_handle(out_handler);
    const quelt::api::levels_call call = quelt::api::checked_levels_call(levels, options);
    quelt::api::publish_batch(
        *out_handler, [&] { return quelt::heads::decode_levels(call.levels, call.options); });
  });
}

extern "C" QUELT_API return_status quelt_map_detections(object_handler handler,
                                                        int32_t network_width,
                                                        int32_t network_height,
                                                        const quelt_image_geometry* geometry,
                                                        int32_t max_detections) {
  return quelt::api::run_in_plain_status_frame("quelt_map_detections", [&] {
    quelt::api::map_detections(handler, network_width, network_height, geometry, max_detections);
  });
}

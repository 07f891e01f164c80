// The exported entries of the heads path: quelt_decode over strided
// predictions, and quelt_map_detections over a batch any entry made.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "../framework/exception.hpp"
#include "../framework/geometry.hpp"
#include "../framework/ranking.hpp"
#include "../framework/rotated.hpp"
#include "../framework/string_builder.hpp"
#include "../heads/heads_decode.hpp"
#include "heads_checks.hpp"
#include "object_handler.hpp"
#include "status_frame.hpp"

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

namespace quelt::api {

namespace {

// The positions of the records of one image that a cap keeps: the `cap` of
// highest probability (equal ones: the earlier; NaN lowest), ascending.
std::vector<std::uint32_t> capped(const std::vector<object_detection>& records, std::size_t cap) {
  std::vector<std::uint32_t> kept;
  if (cap == 0 || records.size() <= cap) {
    kept.resize(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      kept[i] = static_cast<std::uint32_t>(i);
    }
    return kept;
  }
  std::vector<float> keys(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    keys[i] = records[i].probability;
  }
  std::vector<std::uint64_t> scratch;
  sorvanta::framework::rank_descending(keys, kept, scratch);
  kept.resize(cap);
  std::sort(kept.begin(), kept.end());
  return kept;
}

void map_detections(object_handler handler, std::int32_t network_width, std::int32_t network_height,
                    const quelt_image_geometry* geometry, std::int32_t max_detections) {
  if (handler.type != detections_batch && handler.type != quelt_details_batch) {
    reject(_bs("handler.type: ", static_cast<std::int32_t>(handler.type),
               " is not a detections batch; a handle a decoding call filled"));
  }
  if (handler.object == nullptr) {
    reject(
        "handler.object: NULL, no batch (did the decoding call fail?); a handle a decoding "
        "call filled");
  }
  detailed_detections* details = details_of(handler);
  detections_list& records = records_of(handler);
  if (max_detections < 0) {
    reject(_bs("max_detections: ", max_detections, " is negative; 0 (no cap) or more"));
  }
  if (geometry != nullptr && network_width < 1) {
    reject(_bs("network_width: ", network_width, " is below 1; 1 pixel or more"));
  }
  if (geometry != nullptr && network_height < 1) {
    reject(_bs("network_height: ", network_height, " is below 1; 1 pixel or more"));
  }
  if (geometry != nullptr && details != nullptr && details->original_pixels) {
    reject(
        "geometry: the batch is in original-image pixels already (it was decoded with "
        "geometry); NULL to only cap it");
  }
  check_geometry(geometry, records.size(), "geometry");
  // Built apart and swapped in, so a failure leaves the batch as it was.
  detailed_detections mapped = details != nullptr ? *details : detailed_detections(records.size());
  if (details == nullptr) {
    mapped.records = records;
  }
  const auto width = static_cast<float>(network_width);
  const auto height = static_cast<float>(network_height);
  for (std::size_t b = 0; b < mapped.records.size(); ++b) {
    const std::vector<std::uint32_t> kept =
        capped(mapped.records[b], static_cast<std::size_t>(max_detections));
    if (kept.size() < mapped.records[b].size()) {
      mapped.keep_only(b, kept);
    }
    if (geometry == nullptr) {
      continue;
    }
    for (object_detection& r : mapped.records[b]) {
      const sorvanta::framework::corner_box edges{r.x_min * width, r.y_min * height,
                                                  r.x_max * width, r.y_max * height, 0.0f};
      r = sorvanta::framework::original_record(edges, geometry[b], r.class_id, r.objectness,
                                               r.probability);
    }
    // Rotated records are network-input pixels until mapped.
    const quelt_image_geometry& g = geometry[b];
    for (quelt_rotated_detection& r : mapped.rotated_records[b]) {
      const sorvanta::framework::rotated_box box = sorvanta::framework::map_rotated(
          {r.cx, r.cy, r.width, r.height, r.angle}, g.scale_x, g.scale_y, g.pad_x, g.pad_y);
      r = quelt_rotated_detection{box.cx,    box.cy,     box.w,        box.h,
                                  box.angle, r.class_id, r.probability};
    }
  }
  if (details != nullptr) {
    if (geometry != nullptr) {
      mapped.original_pixels = true;
      mapped.geometry.assign(geometry, geometry + mapped.records.size());
    }
    *details = std::move(mapped);
  } else {
    records.swap(mapped.records);
  }
}

}  // namespace

// Hands a decoded batch to the caller's handle: the details batch when the
// call asked for details, its records alone otherwise.
template <class Driver>
void publish_decoded(object_handler& out_handler, bool details, Driver&& driver) {
  if (details) {
    publish_details(out_handler, driver);
  } else {
    publish_batch(out_handler, [&] { return std::move(driver().records); });
  }
}

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
    // Rotated boxes always come with their rotated records.
    quelt::api::publish_decoded(
        *out_handler, call.options.details != 0 || call.layout.box_coding == QUELT_BOX_ROTATED,
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
    quelt::api::publish_decoded(*out_handler, call.options.details != 0, [&] {
      return quelt::heads::decode_levels(call.levels, call.options);
    });
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

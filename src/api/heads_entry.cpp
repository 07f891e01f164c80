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

// The indices of the records of one image that a cap keeps, in order.
std::vector<std::size_t> kept_indices(const std::vector<object_detection>& records,
                                      std::size_t cap) {
  std::vector<std::size_t> kept;
  if (cap == 0 || records.size() <= cap) {
    for (std::size_t i = 0; i < records.size(); ++i) {
      kept.push_back(i);
    }
    return kept;
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
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (keep[i] != 0) {
      kept.push_back(i);
    }
  }
  return kept;
}

void map_details(object_handler handler, std::int32_t network_width, std::int32_t network_height,
                 const quelt_image_geometry* geometry, std::int32_t max_detections) {
  auto& batch = *static_cast<sorvanta::framework::detailed_detections*>(handler.object);
  if (max_detections < 0) {
    reject(_bs("max_detections: ", max_detections, " is negative; 0 (no cap) or more"));
  }
  if (geometry != nullptr && batch.original_pixels) {
    reject("geometry: the batch is in original-image pixels already; NULL to only cap it");
  }
  if (geometry != nullptr && network_width < 1) {
    reject(_bs("network_width: ", network_width, " is below 1; 1 pixel or more"));
  }
  if (geometry != nullptr && network_height < 1) {
    reject(_bs("network_height: ", network_height, " is below 1; 1 pixel or more"));
  }
  check_geometry(geometry, batch.records.size(), "geometry");
  sorvanta::framework::detailed_detections mapped = batch;
  const auto width = static_cast<float>(network_width);
  const auto height = static_cast<float>(network_height);
  const auto per = [](const std::vector<float>& values, std::size_t i, std::size_t n,
                      std::vector<float>& out) {
    out.insert(out.end(), values.begin() + static_cast<std::ptrdiff_t>(i * n),
               values.begin() + static_cast<std::ptrdiff_t>((i + 1) * n));
  };
  for (std::size_t b = 0; b < batch.records.size(); ++b) {
    const std::vector<std::size_t> kept =
        kept_indices(batch.records[b], static_cast<std::size_t>(max_detections));
    mapped.records[b].clear();
    mapped.sources[b].clear();
    const auto e = static_cast<std::size_t>(batch.extras_per_record);
    const auto k = static_cast<std::size_t>(batch.keypoints_per_record) * 3;
    if (!mapped.extras.empty()) {
      mapped.extras[b].clear();
    }
    if (!mapped.keypoints.empty()) {
      mapped.keypoints[b].clear();
    }
    for (std::size_t i : kept) {
      object_detection r = batch.records[b][i];
      if (geometry != nullptr) {
        const sorvanta::framework::corner_box edges{r.x_min * width, r.y_min * height,
                                                    r.x_max * width, r.y_max * height, 0.0f};
        r = sorvanta::framework::original_record(edges, geometry[b], r.class_id, r.objectness,
                                                 r.probability);
      }
      mapped.records[b].push_back(r);
      mapped.sources[b].push_back(batch.sources[b][i]);
      if (!mapped.extras.empty()) {
        per(batch.extras[b], i, e, mapped.extras[b]);
      }
      if (!mapped.keypoints.empty()) {
        per(batch.keypoints[b], i, k, mapped.keypoints[b]);
      }
    }
  }
  if (geometry != nullptr) {
    mapped.original_pixels = true;
    mapped.geometry.assign(geometry, geometry + batch.records.size());
  }
  batch = std::move(mapped);
}

void map_detections(object_handler handler, std::int32_t network_width, std::int32_t network_height,
                    const quelt_image_geometry* geometry, std::int32_t max_detections) {
  if (handler.type == quelt_details_batch && handler.object != nullptr) {
    map_details(handler, network_width, network_height, geometry, max_detections);
    return;
  }
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
    if (call.layout.extras_count > 0) {
      quelt::api::publish_details(
          *out_handler, [&] { return quelt::heads::decode_details(call.layout, call.options); });
      return;
    }
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
    if (call.levels.extras_count > 0) {
      quelt::api::publish_details(*out_handler, [&] {
        return quelt::heads::decode_levels_details(call.levels, call.options);
      });
      return;
    }
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

// quelt_batch_masks_size and quelt_batch_masks_store: every argument is
// checked here, and every mask's region and the buffers' room settled,
// before a prototype or coefficient value is read or anything is written.
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "../framework/detections.hpp"
#include "../framework/exception.hpp"
#include "../framework/string_builder.hpp"
#include "../heads/masks.hpp"
#include "heads_checks.hpp"
#include "status_frame.hpp"
#include "versioned.hpp"

namespace quelt::api {

namespace {

using sorvanta::framework::_bs;
using sorvanta::framework::detailed_detections;
using sorvanta::framework::reject;

constexpr std::uint32_t first_mask_request_size = 112;

quelt_mask_request default_request() {
  quelt_mask_request request;
  quelt_mask_request_init(&request);
  return request;
}

// A checked request over one image: where its masks go and how many bytes
// they take.
struct masks_call {
  const detailed_detections* batch = nullptr;
  std::uint64_t image = 0;
  quelt_mask_request request{};
  std::int32_t coefficients_first = 0;
  heads::mask_canvas canvas{};
  heads::prototype_grid grid{};
  std::vector<heads::mask_span> spans;
  std::uint64_t bytes = 0;
};

const detailed_detections& details_of(object_handler handler) {
  if (handler.type != quelt_details_batch) {
    reject(_bs("handler.type: ", static_cast<std::int32_t>(handler.type),
               " is not a details batch; masks come from a batch decoded with options.details "
               "= 1 and the coefficients as extras"));
  }
  if (handler.object == nullptr) {
    reject("handler.object: NULL; a handle a decoding call filled (did it fail?)");
  }
  return *static_cast<const detailed_detections*>(handler.object);
}

void check_request_fields(const quelt_mask_request& request, std::int32_t extras) {
  if (request.kind < QUELT_MASK_PROTOTYPE_PROBABILITIES ||
      request.kind > QUELT_MASK_ORIGINAL_BINARY) {
    reject(_bs("request.kind: ", request.kind, " is not a known mask kind; ",
               QUELT_MASK_PROTOTYPE_PROBABILITIES, " to ", QUELT_MASK_ORIGINAL_BINARY, " are"));
  }
  if (request.reserved != 0) {
    reject(_bs("request.reserved: ", request.reserved, "; reserved fields must be 0"));
  }
  if (request.prototype_channels < 1) {
    reject(_bs("request.prototype_channels: ", request.prototype_channels,
               " is below 1; one channel per mask coefficient"));
  }
  if (request.prototype_height < 1) {
    reject(
        _bs("request.prototype_height: ", request.prototype_height, " is below 1; 1 row or more"));
  }
  if (request.prototype_width < 1) {
    reject(
        _bs("request.prototype_width: ", request.prototype_width, " is below 1; 1 column or more"));
  }
  if (extras == 0) {
    reject(_bs("request.prototype_channels: ", request.prototype_channels,
               " channels, but the batch's records carry no mask coefficients; decode with "
               "them as the layout's extras"));
  }
  if (request.coefficients_first < 0 || request.coefficients_first >= extras) {
    reject(_bs("request.coefficients_first: ", request.coefficients_first,
               " names no extra of the batch's ", extras, " per record; 0 to ", extras - 1));
  }
  if (request.coefficients_count < 0 ||
      request.coefficients_count > extras - request.coefficients_first) {
    reject(_bs("request.coefficients_count: ", request.coefficients_count, " extras from extra ",
               request.coefficients_first, " reach past the batch's ", extras,
               " per record; 0 (all the rest) to ", extras - request.coefficients_first));
  }
  const std::int32_t coefficients = request.coefficients_count != 0
                                        ? request.coefficients_count
                                        : extras - request.coefficients_first;
  if (request.prototype_channels != coefficients) {
    reject(_bs("request.prototype_channels: ", request.prototype_channels,
               " channels, but the records have ", coefficients, " mask coefficients (extras ",
               request.coefficients_first, " to ", request.coefficients_first + coefficients - 1,
               "); one prototype channel per coefficient"));
  }
}

masks_call checked_masks_call(object_handler handler, std::uint64_t batch_idx,
                              const quelt_mask_request* given) {
  masks_call call;
  call.batch = &details_of(handler);
  const detailed_detections& batch = *call.batch;
  if (batch_idx >= batch.records.size()) {
    reject(_bs("batch_idx: ", batch_idx, " is not below the batch size ", batch.records.size(),
               "; an image of the batch"));
  }
  call.image = batch_idx;
  if (given == nullptr) {
    reject("request: NULL; a quelt_mask_request (quelt_mask_request_init fills one)");
  }
  call.request = read_versioned(given, default_request(), first_mask_request_size,
                                "request.struct_size", "quelt_mask_request");
  const quelt_mask_request& request = call.request;
  check_request_fields(request, batch.extras_per_record);
  if (request.kind == QUELT_MASK_ORIGINAL_BINARY && !batch.original_pixels) {
    reject(
        "request.kind: original-image masks, but the batch is not mapped to the original "
        "images; decode with options.geometry (or map it with quelt_map_detections), or ask for "
        "prototype or network-input masks");
  }
  const std::vector<object_detection>& records = batch.records[batch_idx];
  const quelt_grid_view& view = request.prototypes;
  if (!records.empty()) {
    if (view.data == nullptr) {
      reject(_bs("request.prototypes.data: NULL, but image ", batch_idx, " has ", records.size(),
                 " records; the prototypes of every image"));
    }
    check_grid_view("request.prototypes", view, batch_idx + 1,
                    static_cast<std::uint64_t>(request.prototype_height),
                    static_cast<std::uint64_t>(request.prototype_width),
                    static_cast<std::uint64_t>(request.prototype_channels));
  } else {
    check_element("request.prototypes.element", view.element);
  }
  call.coefficients_first = request.coefficients_first;
  const std::size_t bytes = sorvanta::framework::element_bytes(view.element.type);
  call.grid =
      heads::prototype_grid{reinterpret_cast<const unsigned char*>(view.data) +
                                static_cast<std::int64_t>(batch_idx) * view.image_stride *
                                    static_cast<std::int64_t>(bytes),
                            view.row_stride,
                            view.column_stride,
                            view.channel_stride,
                            {view.element.type, view.element.zero_point, view.element.scale},
                            request.prototype_channels,
                            request.prototype_height,
                            request.prototype_width};
  call.canvas = heads::mask_canvas{
      request.kind,
      batch.network_width,
      batch.network_height,
      request.prototype_width,
      request.prototype_height,
      batch.original_pixels ? batch.geometry[batch_idx] : quelt_image_geometry{}};
  call.spans.reserve(records.size());
  const std::uint64_t value_bytes = heads::mask_value_bytes(request.kind);
  constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  for (const auto& box : batch.network_boxes[batch_idx]) {
    const heads::mask_span span = heads::mask_span_of(box, call.canvas);
    const auto area =
        static_cast<std::uint64_t>(span.width) * static_cast<std::uint64_t>(span.height);
    if (area > (most - call.bytes) / value_bytes) {
      reject(_bs("request.kind: the masks of image ", batch_idx,
                 " take more bytes than 64 bits count; a coarser mask kind"));
    }
    call.bytes += area * value_bytes;
    call.spans.push_back(span);
  }
  return call;
}

}  // namespace

}  // namespace quelt::api

extern "C" {

QUELT_API void quelt_mask_request_init(quelt_mask_request* request) {
  if (request == nullptr) {
    return;
  }
  std::memset(request, 0, sizeof *request);
  request->struct_size = sizeof(quelt_mask_request);
}

QUELT_API return_status quelt_batch_masks_size(object_handler handler, uint64_t batch_idx,
                                               const quelt_mask_request* request,
                                               uint64_t* out_bytes) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_masks_size", [&] {
    const quelt::api::masks_call call = quelt::api::checked_masks_call(handler, batch_idx, request);
    if (out_bytes == nullptr) {
      sorvanta::framework::reject("out_bytes: NULL; where the size goes");
    }
    *out_bytes = call.bytes;
  });
}

QUELT_API return_status quelt_batch_masks_store(object_handler handler, uint64_t batch_idx,
                                                const quelt_mask_request* request) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_masks_store", [&] {
    using sorvanta::framework::_bs;
    using sorvanta::framework::reject;
    const quelt::api::masks_call call = quelt::api::checked_masks_call(handler, batch_idx, request);
    const quelt_mask_request& r = call.request;
    const std::size_t records = call.spans.size();
    if (records != 0 && r.regions == nullptr) {
      reject(_bs("request.regions: NULL, but image ", batch_idx, " has ", records,
                 " records; one quelt_mask_region each"));
    }
    if (call.bytes != 0 && r.values == nullptr) {
      reject(_bs("request.values: NULL, but the masks of image ", batch_idx, " take ", call.bytes,
                 " bytes; a buffer of quelt_batch_masks_size's answer"));
    }
    if (r.values_size < call.bytes) {
      reject(_bs("request.values_size: ", r.values_size, " bytes is too small; the masks of image ",
                 batch_idx, " take ", call.bytes, " bytes (quelt_batch_masks_size)"));
    }
    // Everything that may fail is done before the first write.
    quelt::heads::mask_scratch scratch;
    for (const auto& span : call.spans) {
      quelt::heads::reserve_mask_scratch(span, call.canvas, scratch);
    }
    const std::uint64_t value_bytes = quelt::heads::mask_value_bytes(r.kind);
    const auto extras = static_cast<std::size_t>(call.batch->extras_per_record);
    const std::vector<float>& image_extras = call.batch->extras[batch_idx];
    auto* values = static_cast<unsigned char*>(r.values);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < records; ++i) {
      const quelt::heads::mask_span& span = call.spans[i];
      r.regions[i] = quelt_mask_region{
          static_cast<std::int64_t>(offset), static_cast<std::int32_t>(span.x),
          static_cast<std::int32_t>(span.y), static_cast<std::int32_t>(span.width),
          static_cast<std::int32_t>(span.height)};
      quelt::heads::draw_mask(
          image_extras.data() + i * extras + static_cast<std::size_t>(call.coefficients_first),
          call.grid, call.canvas, span, values + offset * value_bytes, scratch);
      offset += static_cast<std::uint64_t>(span.width * span.height);
    }
  });
}

}  // extern "C"

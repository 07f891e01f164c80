#include "object_handler.hpp"

#include <cstring>

#include "../framework/exception.hpp"
#include "../framework/string_builder.hpp"
#include "status_frame.hpp"
#include "versioned.hpp"

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

const char* object_type_str(object_type type) noexcept {
  switch (type) {
    case detections_batch:
      return "detections_batch";
    case quelt_details_batch:
      return "quelt_details_batch";
  }
  return "unknown";
}

void check_object_handler_type(object_handler handler, object_type expected) {
  if (handler.type != expected) {
    reject(_bs("Failed to check object_handler type, expected:", object_type_str(expected),
               ", got:", object_type_str(handler.type)));
  }
}

void validate_batch_idx(std::uint64_t batch_size, std::uint64_t batch_idx) {
  if (batch_idx >= batch_size) {
    reject(_bs("Invalid batch idx (batch size = ", batch_size, "):", batch_idx));
  }
}

namespace quelt::api {

void reset_output_handle(object_handler* out_handler) {
  if (out_handler == nullptr) {
    reject("out_handler is null: nowhere to put the result");
  }
  out_handler->object = nullptr;
  out_handler->type = detections_batch;
}

detections_list& records_of(object_handler handler) {
  if (handler.type != quelt_details_batch) {
    check_object_handler_type(handler, detections_batch);
  }
  if (handler.object == nullptr) {
    reject(
        "object_handler holds no detections_batch (object is null; did the decoding call "
        "fail?)");
  }
  if (handler.type == quelt_details_batch) {
    return static_cast<detailed_detections*>(handler.object)->records;
  }
  return *static_cast<detections_list*>(handler.object);
}

detailed_detections* details_of(object_handler handler) {
  records_of(handler);
  return handler.type == quelt_details_batch ? static_cast<detailed_detections*>(handler.object)
                                             : nullptr;
}

namespace {

const detections_list& batch_of(object_handler handler) {
  return records_of(handler);
}

void require_output(const void* pointer, const char* name) {
  if (pointer == nullptr) {
    reject(_bs(name, " is null: nowhere to write the result"));
  }
}

const std::vector<object_detection>& image_of(object_handler handler, std::uint64_t batch_idx) {
  const detections_list& batch = batch_of(handler);
  validate_batch_idx(batch.size(), batch_idx);
  return batch[batch_idx];
}

}  // namespace
}  // namespace quelt::api

using quelt::api::run_in_status_frame;

extern "C" {

QUELT_API return_status detections_batch_size(object_handler handler, uint64_t* out_size) {
  return run_in_status_frame([&] {
    const auto size = quelt::api::batch_of(handler).size();
    quelt::api::require_output(out_size, "out_size");
    *out_size = size;
  });
}

QUELT_API return_status detections_batch_detections_count(object_handler handler,
                                                          uint64_t batch_idx, uint64_t* out_count) {
  return run_in_status_frame([&] {
    const auto count = quelt::api::image_of(handler, batch_idx).size();
    quelt::api::require_output(out_count, "out_count");
    *out_count = count;
  });
}

QUELT_API return_status detections_batch_detections_store(object_handler handler,
                                                          uint64_t batch_idx,
                                                          object_detection* out_detections) {
  return run_in_status_frame([&] {
    const auto& records = quelt::api::image_of(handler, batch_idx);
    if (!records.empty()) {
      quelt::api::require_output(out_detections, "out_detections");
      std::memcpy(out_detections, records.data(), records.size() * sizeof(object_detection));
    }
  });
}

QUELT_API void object_handler_destroy(object_handler handler) {
  if (handler.object == nullptr) {
    return;
  }
  if (handler.type == detections_batch) {
    delete static_cast<quelt::detections_list*>(handler.object);
  } else if (handler.type == quelt_details_batch) {
    delete static_cast<quelt::detailed_detections*>(handler.object);
  }
}

}  // extern "C"

namespace quelt::api {
namespace {

constexpr std::uint32_t first_batch_info_size = 16;

// The details batch behind `handler`, refusing a plain batch, which keeps
// nothing but its records.
const detailed_detections& details_required(object_handler handler, const char* what) {
  const detailed_detections* details = details_of(handler);
  if (details == nullptr) {
    reject(_bs("handler: a detections_batch, which keeps no ", what,
               "; a quelt_details_batch (set options.details to 1)"));
  }
  return *details;
}

}  // namespace
}  // namespace quelt::api

extern "C" {

QUELT_API return_status quelt_batch_describe(object_handler handler, quelt_batch_info* info) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_describe", [&] {
    if (info == nullptr) {
      reject("info: NULL; the address of a quelt_batch_info to fill");
    }
    quelt_batch_info defaults{};
    const quelt_batch_info given = quelt::api::read_versioned(
        info, defaults, quelt::api::first_batch_info_size, "info.struct_size", "quelt_batch_info");
    const quelt::detailed_detections* details = quelt::api::details_of(handler);
    quelt_batch_info out{};
    out.struct_size = given.struct_size;
    out.type = details != nullptr ? quelt_details_batch : detections_batch;
    out.has_sources = details != nullptr ? 1 : 0;
    out.original_pixels = details != nullptr && details->original_pixels ? 1 : 0;
    out.extras_per_record = details != nullptr ? details->extras_per_record : 0;
    out.keypoints_per_record = details != nullptr ? details->keypoints_per_record : 0;
    out.rotated = details != nullptr && details->rotated ? 1 : 0;
    std::memcpy(static_cast<void*>(info), &out, given.struct_size);
  });
}

QUELT_API return_status quelt_batch_sources_store(object_handler handler, uint64_t batch_idx,
                                                  int64_t* out_sources) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_sources_store", [&] {
    const auto& details = quelt::api::details_required(handler, "sources");
    if (batch_idx >= details.sources.size()) {
      reject(_bs("batch_idx: ", batch_idx, " is not below the batch size ", details.sources.size(),
                 "; an image of the batch"));
    }
    const auto& sources = details.sources[batch_idx];
    if (!sources.empty()) {
      if (out_sources == nullptr) {
        reject("out_sources: NULL; room for one index per record");
      }
      std::memcpy(out_sources, sources.data(), sources.size() * sizeof(std::int64_t));
    }
  });
}

QUELT_API return_status quelt_batch_rotated_store(object_handler handler, uint64_t batch_idx,
                                                  quelt_rotated_detection* out_records) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_rotated_store", [&] {
    const auto& details = quelt::api::details_required(handler, "rotated boxes");
    if (!details.rotated) {
      reject("handler: a batch without rotated boxes; one decoded from QUELT_BOX_ROTATED boxes");
    }
    if (batch_idx >= details.rotated_records.size()) {
      reject(_bs("batch_idx: ", batch_idx, " is not below the batch size ",
                 details.rotated_records.size(), "; an image of the batch"));
    }
    const auto& rotated = details.rotated_records[batch_idx];
    if (!rotated.empty()) {
      if (out_records == nullptr) {
        reject("out_records: NULL; room for one quelt_rotated_detection per record");
      }
      std::memcpy(static_cast<void*>(out_records), rotated.data(),
                  rotated.size() * sizeof(quelt_rotated_detection));
    }
  });
}

}  // extern "C"

#include "object_handler.hpp"

#include <cstring>

#include "../framework/exception.hpp"
#include "../framework/string_builder.hpp"
#include "status_frame.hpp"

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

const char* object_type_str(object_type type) noexcept {
  return type == detections_batch ? "detections_batch" : "unknown";
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

namespace {

const detections_list& batch_of(object_handler handler) {
  if (handler.type == quelt_details_batch && handler.object != nullptr) {
    return static_cast<const sorvanta::framework::detailed_detections*>(handler.object)->records;
  }
  check_object_handler_type(handler, detections_batch);
  if (handler.object == nullptr) {
    reject(
        "object_handler holds no detections_batch (object is null; did the decoding call "
        "fail?)");
  }
  return *static_cast<const detections_list*>(handler.object);
}

}  // namespace

const sorvanta::framework::detailed_detections& details_of(object_handler handler) {
  if (handler.type != quelt_details_batch || handler.object == nullptr) {
    reject("handler: not a details batch; a handle quelt_decode filled with details");
  }
  return *static_cast<const sorvanta::framework::detailed_detections*>(handler.object);
}

namespace {

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
  if (handler.object != nullptr && handler.type == detections_batch) {
    delete static_cast<quelt::detections_list*>(handler.object);
  }
  if (handler.object != nullptr && handler.type == quelt_details_batch) {
    delete static_cast<sorvanta::framework::detailed_detections*>(handler.object);
  }
}

QUELT_API return_status quelt_batch_sources_store(object_handler handler, uint64_t batch_idx,
                                                  int64_t* out) {
  return quelt::api::run_in_plain_status_frame("quelt_batch_sources_store", [&] {
    const auto& d = quelt::api::details_of(handler);
    validate_batch_idx(d.records.size(), batch_idx);
    const auto& s = d.sources[batch_idx];
    if (!s.empty()) {
      std::memcpy(out, s.data(), s.size() * sizeof(std::int64_t));
    }
  });
}

}  // extern "C"

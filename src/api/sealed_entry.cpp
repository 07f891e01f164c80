// The exported entry of the sealed-output path, with the checks that keep
// arguments the driver cannot decode safely away from it.
#include <cstddef>
#include <cstdint>
#include <limits>

#include "../framework/exception.hpp"
#include "../framework/string_builder.hpp"
#include "../sealed/sealed_driver.hpp"
#include "object_handler.hpp"
#include "status_frame.hpp"

using sorvanta::framework::_bs;
using sorvanta::framework::reject;

namespace quelt::api {

namespace {

// Rejects, before any row is read, what the driver needs and the counts do
// not promise. Negative counts are left to the driver's reservations, which
// reject them with the standard length error before anything else about the
// call is judged. With zero classes the class pick would fall back on the
// objectness and report class -1; with fewer the rows would overlap or run
// backwards.
void validate_sealed_call(const float* sealed_output, std::int64_t boxes_count,
                          std::int64_t batch_size, std::int32_t classes,
                          const float* conf_thresholds, const float* nms_thresholds) {
  if (batch_size < 0 || (batch_size > 0 && boxes_count < 0)) {
    return;
  }
  if (classes < 1) {
    reject(_bs("classes must be at least 1, got ", classes));
  }
  if (batch_size == 0) {
    return;
  }
  if (conf_thresholds == nullptr || nms_thresholds == nullptr) {
    reject(_bs(conf_thresholds == nullptr ? "conf_thresholds" : "nms_thresholds",
               " is null: one threshold per image is needed (batch_size = ", batch_size, ")"));
  }
  if (boxes_count == 0) {
    return;
  }
  if (sealed_output == nullptr) {
    reject(_bs("sealed_output is null: ", batch_size, " x ", boxes_count, " rows were to be read"));
  }
  // A tensor of more floats than a pointer can address cannot exist; refusing
  // it keeps the driver's row offsets from overflowing.
  const std::int64_t row_size = std::int64_t{classes} + 5;
  const std::int64_t max_floats =
      std::numeric_limits<std::ptrdiff_t>::max() / static_cast<std::int64_t>(sizeof(float));
  if (batch_size > max_floats / boxes_count || batch_size * boxes_count > max_floats / row_size) {
    reject(_bs("sealed tensor too large: ", batch_size, " x ", boxes_count, " rows of ", row_size,
               " floats cannot be addressed"));
  }
}

// The same rules for quelt_decode_sealed, with its one-line texts naming
// the field; negative counts are refused here too.
void check_sealed_details_call(const float* sealed_output, std::int64_t boxes_count,
                               std::int64_t batch_size, std::int32_t classes,
                               const float* conf_thresholds, const float* nms_thresholds) {
  if (batch_size < 0) {
    reject(_bs("batch_size: ", batch_size, " is negative; 0 or more images"));
  }
  if (boxes_count < 0) {
    reject(_bs("boxes_count: ", boxes_count, " is negative; 0 or more rows an image"));
  }
  if (classes < 1) {
    reject(_bs("classes: ", classes, " is below 1; 1 class or more"));
  }
  if (batch_size == 0) {
    return;
  }
  if (conf_thresholds == nullptr || nms_thresholds == nullptr) {
    reject(_bs(conf_thresholds == nullptr ? "conf_thresholds" : "nms_thresholds",
               ": NULL, but the batch has ", batch_size, " images; one threshold per image"));
  }
  if (boxes_count == 0) {
    return;
  }
  if (sealed_output == nullptr) {
    reject(_bs("sealed_output: NULL, but ", batch_size, " x ", boxes_count,
               " rows are to be read; the tensor"));
  }
  const std::int64_t row_size = std::int64_t{classes} + 5;
  const std::int64_t max_floats =
      std::numeric_limits<std::ptrdiff_t>::max() / static_cast<std::int64_t>(sizeof(float));
  if (batch_size > max_floats / boxes_count || batch_size * boxes_count > max_floats / row_size) {
    reject(_bs("boxes_count: ", batch_size, " x ", boxes_count, " rows of ", row_size,
               " floats cannot be addressed; a tensor that can exist"));
  }
}

}  // namespace
}  // namespace quelt::api

extern "C" QUELT_API return_status process_yolo_sealed_output_detections(
    float* sealed_output, int64_t boxes_count, int64_t batch_size, int32_t classes,
    const float* conf_thresholds, const float* nms_thresholds, int32_t width, int32_t height,
    object_handler* out_handler) {
  return quelt::api::run_in_status_frame([&] {
    quelt::api::reset_output_handle(out_handler);
    quelt::api::validate_sealed_call(sealed_output, boxes_count, batch_size, classes,
                                     conf_thresholds, nms_thresholds);
    // The driver only reads the thresholds; its C++ signature predates const.
    quelt::api::publish_batch(*out_handler, [&] {
      return quelt::process_yolo_sealed_output_detections(
          sealed_output, boxes_count, batch_size, classes, const_cast<float*>(conf_thresholds),
          const_cast<float*>(nms_thresholds), width, height);
    });
  });
}

extern "C" QUELT_API return_status quelt_decode_sealed(float* sealed_output, int64_t boxes_count,
                                                       int64_t batch_size, int32_t classes,
                                                       const float* conf_thresholds,
                                                       const float* nms_thresholds, int32_t width,
                                                       int32_t height,
                                                       object_handler* out_handler) {
  return quelt::api::run_in_plain_status_frame("quelt_decode_sealed", [&] {
    if (out_handler == nullptr) {
      reject("out_handler: NULL; the address of an object_handler to fill");
    }
    quelt::api::reset_output_handle(out_handler);
    quelt::api::check_sealed_details_call(sealed_output, boxes_count, batch_size, classes,
                                          conf_thresholds, nms_thresholds);
    quelt::api::publish_details(*out_handler, [&] {
      sorvanta::framework::detailed_detections batch;
      batch.records = quelt::detail::decode_sealed_rows(sealed_output, boxes_count, batch_size,
                                                        classes, conf_thresholds, nms_thresholds,
                                                        width, height, &batch.sources);
      batch.network_width = width;
      batch.network_height = height;
      // No boxes in network pixels: these batches keep their sources only.
      batch.network_boxes.resize(batch.records.size());
      return batch;
    });
  });
}
